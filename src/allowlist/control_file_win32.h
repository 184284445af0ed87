#pragma once
// The control-file trust check on a real handle.

#include <windows.h>

#include <optional>
#include <string>

#include "allowlist/control_file.h"
#include "os/windows_only_win32.h"
#include "text/encoding.h"

// Returns when the object behind `object` (opened with READ_CONTROL,
// FILE_READ_ATTRIBUTES and FILE_FLAG_OPEN_REPARSE_POINT) can be changed only
// by the current user, Administrators and LocalSystem and is not a link;
// throws the first rule it breaks. Its messages name the allowlist for every
// control file.
void VerifyTrustedFileHandle(HANDLE object);

// ReadControlFileWith on the real file system: `folder` and `file` opened with
// CreateFileW and FILE_FLAG_OPEN_REPARSE_POINT, both closed (file first) on
// every path.
std::optional<std::string> ReadControlFile(const WideString& folder, const WideString& file,
                                           const ControlFileRules& rules);
