#pragma once
// The portable half of the installer download: the request path, the
// architecture names and the read loop with its limits. The Windows layer
// (setup_download_win32.h) feeds the loop from WinHTTP into a file.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

inline constexpr std::uint32_t kSetupReadBufferSize = 65536;
// A body of exactly this many bytes is accepted; one byte more is refused.
inline constexpr std::uint64_t kSetupDownloadLimit = 268435456;

inline constexpr const char* kSetupInitializeMessage = "Could not initialize the Quorl Tholm download.";
inline constexpr const char* kSetupArchitectureMessage = "Quorl Tholm does not support this Windows architecture.";
inline constexpr const char* kSetupRequestMessage = "Could not request Quorl Tholm setup.";
inline constexpr const char* kSetupDownloadFailedMessage = "Quorl Tholm download failed.";
inline constexpr const char* kSetupInterruptedMessage = "Quorl Tholm download was interrupted.";
inline constexpr const char* kSetupIncompleteMessage = "Quorl Tholm setup download is empty or incomplete.";
inline constexpr const char* kSetupTooLargeMessage = "Quorl Tholm setup exceeds the download limit.";
inline constexpr const char* kSetupSaveMessage = "Could not save Quorl Tholm setup.";

// "Could not connect to HOST."
std::string SetupConnectMessage(std::string_view host);
// "Quorl Tholm setup is not available from HOST."
std::string SetupNotAvailableMessage(std::string_view host);

// The architecture's name in the download path for a wProcessorArchitecture
// value: 0 "x86", 9 "x64", 12 "arm64". Any other value throws
// "Quorl Tholm does not support this Windows architecture.".
std::string SetupArchitectureName(std::uint16_t processorArchitecture);

// "/quorl-tholm/latest/quorl-tholm-windows-" + architecture + "-setup.exe".
std::string SetupDownloadPath(std::string_view architecture);

// Where the body comes from and where it goes. Each call reports success;
// a read of zero bytes is the end of the body.
struct SetupBodyTransfer {
    std::function<bool(unsigned char* buffer, std::uint32_t capacity, std::uint32_t& received)> read;
    std::function<bool(const unsigned char* data, std::uint32_t size, std::uint32_t& written)> write;
    std::function<bool()> flush;
};

// Moves the whole body through one reused buffer of 65536 bytes, writing each
// chunk before the next read, and flushes at the end. Returns the body's
// length. Throws the read-loop messages; a chunk that would take the body past
// the limit is never written.
std::uint64_t CopySetupBody(const SetupBodyTransfer& transfer);
