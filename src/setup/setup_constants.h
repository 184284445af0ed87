#pragma once
// The fixed values of the companion product's setup. The download host and
// the publisher are built in: nothing at run time can change where the
// installer comes from or whose signature it must carry.

#include <cstdint>
#include <string_view>

inline constexpr std::string_view kSetupDownloadHost = "downloads.quorltholm.org";
inline constexpr std::uint16_t kSetupDownloadPort = 443;
inline constexpr std::string_view kSetupPublisherName = "Quorl Tholm Ltd";

inline constexpr std::string_view kSetupUserAgent = "Quorl Vane Setup";
inline constexpr std::string_view kSetupNamePrefix = "QuorlTholm-Setup-";
inline constexpr std::string_view kSetupFileName = "setup.exe";
inline constexpr std::string_view kSetupSwitches = "/VERYSILENT /SUPPRESSMSGBOXES /NORESTART /SP-";
