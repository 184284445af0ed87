#pragma once
// The per-user table of scheduled tasks that start the servers of pipes, read
// from "org.quorlssh\activations.tsv" in the local application data folder.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "allowlist/control_file.h"
#include "text/encoding.h"

// Canonical pipe path to the full path of its scheduled task.
using ActivationRegistrations = std::map<std::string, WideString>;

inline constexpr std::uint64_t kActivationSizeLimit = 1048576;

// Read and delete sharing only: nobody may write the file while it is read,
// and a writer holding it open makes the load fail. A missing folder on the
// file open is an error here, unlike for the allowlist.
inline constexpr ControlFileRules kActivationRules{
    5,  // FILE_SHARE_READ | FILE_SHARE_DELETE
    false,
    kActivationSizeLimit,
    "Could not open task activation directory.",
    "Could not open task activation registrations.",
    "Task activation registrations exceed the size limit.",
    "Could not read task activation registrations.",
};

struct ActivationLocation {
    WideString folder;
    WideString file;
};

// The folder and file under `localAppData`; throws "Could not locate task
// activation registrations." when the folder is unknown (std::nullopt).
ActivationLocation ActivationPaths(const std::optional<WideString>& localAppData);

// Every row of `content` checked and entered; the first bad row ends the parse
// with its message. Whole-content UTF-8 validity is checked first.
ActivationRegistrations ParseActivationRegistrations(std::string_view content);

// The table through `ops`; empty when the folder or the file does not exist.
ActivationRegistrations LoadActivationRegistrationsWith(const ControlFileOps& ops);
