#pragma once
// Reading an object's owner and DACL through its handle, and SID text.

#include <windows.h>

#include <optional>
#include <string>

#include "os/handles_win32.h"
#include "os/windows_only_win32.h"
#include "pipes/object_security.h"

// The SID text of `sid`; std::nullopt when there is none or it cannot be converted.
std::optional<std::string> TrySidToString(PSID sid);

// The SID text of `sid`. Throws "Could not inspect pipe identity." when there
// is none or it cannot be converted.
std::string SidToString(PSID sid);

// What GetSecurityInfo(SE_FILE_OBJECT, owner and DACL) gave; the owner and the
// DACL point into `descriptor`, which frees them.
struct QueriedSecurity {
    DWORD status = ERROR_SUCCESS;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocalMemory descriptor;
};

// Needs READ_CONTROL on `object`. Never throws for the query: see `status`.
QueriedSecurity QuerySecurity(HANDLE object);

// The level of an integrity SID (S-1-16-N): N; std::nullopt for any other SID.
std::optional<std::uint32_t> IntegrityLevelOfSid(PSID sid);

// The object's mandatory label through its handle (READ_CONTROL suffices for
// LABEL_SECURITY_INFORMATION). Never throws.
IntegrityLabel QueryIntegrityLabel(HANDLE object);

// The owner and every ACE as plain data for the trust rules.
ObjectSecurity DescribeSecurity(const QueriedSecurity& security);
