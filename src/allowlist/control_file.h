#pragma once
// Reading a per-user control file (the allowlist, the activation
// registrations): open the folder and the file without following links, check
// that only trusted principals can change either, and read the file whole
// under a size limit. The steps are portable over ControlFileOps; the Windows
// layer (control_file_win32.cpp) supplies the real operations.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "pipes/object_security.h"
#include "text/encoding.h"

// GENERIC_ALL | GENERIC_WRITE | WRITE_OWNER | WRITE_DAC | DELETE |
// FILE_DELETE_CHILD | FILE_APPEND_DATA | FILE_WRITE_DATA. FILE_WRITE_EA and
// FILE_WRITE_ATTRIBUTES cannot change what the file says, so they are left out.
inline constexpr std::uint32_t kWriteCapableRights = 0x500D0046;

inline constexpr const char* kControlPermissionsMessage = "Could not verify named pipe allowlist permissions.";
inline constexpr const char* kControlOwnerMessage = "Named pipe allowlist has an untrusted owner.";
inline constexpr const char* kControlAclMessage = "Invalid named pipe allowlist ACL.";
inline constexpr const char* kControlAceTypeMessage = "Unsupported named pipe allowlist ACL.";
inline constexpr const char* kControlWritableMessage = "Named pipe allowlist is writable by another principal.";
inline constexpr const char* kControlReparseMessage = "Named pipe allowlist must not be a reparse point.";

// The current user, LocalSystem and Administrators.
bool IsTrustedFilePrincipal(const std::string& sid, const std::string& currentUserSid);

// The trust rules for one opened file or folder, in order: the security query,
// the owner, every applicable ACE, then the reparse-point test (so a link with
// an untrusted owner reports the owner). `attributes` is std::nullopt when the
// attribute query failed.
void VerifyTrustedFile(const std::function<ObjectSecurity()>& readSecurity,
                       const std::function<std::string()>& currentUserSid,
                       const std::function<std::optional<std::uint32_t>()>& attributes);

enum class ControlObject { Folder, File };

// How one kind of control file is opened and reported.
struct ControlFileRules {
    std::uint32_t fileShare = 1;          // FILE_SHARE_* while the file is read
    bool pathNotFoundMeansNoFile = true;  // whether ERROR_PATH_NOT_FOUND on the file open means "no file"
    std::uint64_t sizeLimit = 0;
    const char* folderOpenMessage = "";
    const char* fileOpenMessage = "";
    const char* sizeMessage = "";
    const char* readMessage = "";
};

// The system operations, each on the object opened before it.
struct ControlFileOps {
    std::function<std::uint32_t(ControlObject)> open;  // 0, or the error of the failed open
    std::function<ObjectSecurity(ControlObject)> readSecurity;
    std::function<std::optional<std::uint32_t>(ControlObject)> attributes;
    std::function<std::optional<std::uint64_t>()> fileSize;              // std::nullopt: query failed
    std::function<std::optional<std::string>(std::uint64_t size)> read;  // std::nullopt: failed or short
    std::function<std::optional<WideString>(ControlObject)> finalPath;   // std::nullopt: query failed
    std::function<std::string()> currentUserSid;
};

// Whether `file` names an entry directly inside `folder`, both final paths as
// the system reports them for open handles ("\\?\C:\dir", "\\?\C:\dir\name").
bool LiesDirectlyIn(const WideString& file, const WideString& folder);

// The whole content, or std::nullopt when the folder or the file does not
// exist. Throws the rules' messages and those of VerifyTrustedFile; the file
// open's message also when the opened file is not directly in the opened
// folder (a path that named the file as its own folder, or a renamed parent).
std::optional<std::string> ReadControlFileWith(const ControlFileRules& rules, const ControlFileOps& ops);
