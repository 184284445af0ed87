#pragma once
// An object's owner and DACL as plain data, and the small predicates over ACEs
// that both trust checks (pipes here, control files in allowlist/) are built
// from. The Windows layer fills ObjectSecurity from GetSecurityInfo and GetAce.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::uint8_t kAccessAllowedAceType = 0;   // ACCESS_ALLOWED_ACE_TYPE
inline constexpr std::uint8_t kAccessDeniedAceType = 1;    // ACCESS_DENIED_ACE_TYPE
inline constexpr std::uint8_t kInheritOnlyAceFlag = 0x08;  // INHERIT_ONLY_ACE

inline constexpr const char* kSidTextMessage = "Could not inspect pipe identity.";
inline constexpr const char* kLocalSystemSid = "S-1-5-18";
inline constexpr const char* kAdministratorsSid = "S-1-5-32-544";
inline constexpr const char* kOwnerRightsSid = "S-1-3-4";

struct AceEntry {
    std::uint8_t type = kAccessAllowedAceType;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    // SID text of an allow entry; std::nullopt when it could not be turned
    // into text (other entry types are never asked for theirs).
    std::optional<std::string> sid;
};

struct ObjectSecurity {
    bool obtained = false;  // the security query itself succeeded
    // The query failed because the pipe's server has disconnected it: nothing
    // can pass through the handle any more (never set for files).
    bool pipeDisconnected = false;
    bool hasOwner = false;
    bool hasDacl = false;                       // false for a missing or null DACL
    std::optional<std::string> owner;           // std::nullopt: not convertible to text
    std::vector<std::optional<AceEntry>> aces;  // every index of the DACL; std::nullopt where GetAce failed
};

// Mandatory integrity levels (the last sub-authority of S-1-16-N).
inline constexpr std::uint32_t kMediumIntegrityLevel = 0x2000;  // SECURITY_MANDATORY_MEDIUM_RID

// What LABEL_SECURITY_INFORMATION gave for an object.
struct IntegrityLabel {
    bool obtained = false;               // the query itself succeeded
    std::optional<std::uint32_t> level;  // the label's level; std::nullopt: no label, which means medium
    bool pipeDisconnected = false;       // as for ObjectSecurity
};

// Neither a low-integrity nor an untrusted process: a sandbox of the user must
// not stand in for the user. High and System levels pass (elevated servers).
inline bool IsAtLeastMediumIntegrity(std::uint32_t level) { return level >= kMediumIntegrityLevel; }

// An object without a label is treated as medium by the system itself.
inline bool IsAtLeastMediumLabel(const IntegrityLabel& label) {
    return !label.level || IsAtLeastMediumIntegrity(*label.level);
}

// An inherit-only entry only shapes what children inherit.
inline bool AppliesToObject(const AceEntry& ace) { return (ace.flags & kInheritOnlyAceFlag) == 0; }
inline bool IsDenyEntry(const AceEntry& ace) { return ace.type == kAccessDeniedAceType; }
inline bool IsAllowEntry(const AceEntry& ace) { return ace.type == kAccessAllowedAceType; }
inline bool GrantsAnyOf(const AceEntry& ace, std::uint32_t rights) { return (ace.mask & rights) != 0; }

// The SID text, or "Could not inspect pipe identity." when there is none.
const std::string& RequireSidText(const std::optional<std::string>& sid);
