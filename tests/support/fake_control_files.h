#pragma once
// A recording fake of the control-file operations (open, security, attributes,
// size, read) for the allowlist and activation-registration tests.

#include <optional>
#include <string>
#include <vector>

#include "allowlist/control_file.h"

inline const std::string kUser = "S-1-5-21-1-2-3-1001";
inline const std::string kOtherUser = "S-1-5-21-1-2-3-1002";
inline const std::string kEveryone = "S-1-1-0";
inline constexpr std::uint32_t kFileAllAccess = 0x001F01FF;

inline AceEntry Allow(std::uint32_t mask, const std::string& sid, std::uint8_t flags = 0) {
    return AceEntry{kAccessAllowedAceType, flags, mask, sid};
}

inline AceEntry OfType(std::uint8_t type, std::uint32_t mask, std::uint8_t flags = 0) {
    return AceEntry{type, flags, mask, std::nullopt};
}

// Owned by `owner`; full control for the user, LocalSystem and Administrators.
ObjectSecurity Trusted(const std::string& owner = kUser);

struct FakeObject {
    std::uint32_t openError = 0;
    ObjectSecurity security = Trusted();
    std::optional<std::uint32_t> attributes = 0x20;
    std::optional<WideString> finalPath = u"\\\\?\\C:\\Users\\a\\AppData\\Local\\QuorlSSH\\http-pipe.allow";
};

struct FakeFiles {
    FakeObject folder{0, Trusted(), 0x10, u"\\\\?\\C:\\Users\\a\\AppData\\Local\\QuorlSSH"};
    FakeObject file;
    std::string content = "\\\\.\\pipe\\app\n";  // lists \\.\pipe\app
    bool readFails = false;
    bool shortRead = false;
    std::vector<std::string> log;

    FakeObject& Of(ControlObject object) { return object == ControlObject::Folder ? folder : file; }
    static std::string Name(ControlObject object) { return object == ControlObject::Folder ? "folder" : "file"; }

    // Operations that record each call in `log` and answer from the fields above.
    ControlFileOps Ops();
};
