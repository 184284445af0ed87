#pragma once
// Text from the remote side (the bridge's sentences, the host's greeting and
// standard error, sftp's and the host's answers to deploy) made safe for the
// user's terminal before it is printed.

#include <string>
#include <string_view>

// `bytes` with every C0 control but tab, DEL, every C1 control (U+0080 to
// U+009F, which terminals obey as they obey ESC) and every byte that is not
// part of valid UTF-8 shown as \xNN. Valid UTF-8 stays as it is, so that names
// in any script read as written. A backslash stays too: Windows paths are full
// of them, and a "\x1b" spelled out by the host only looks like an escape.
std::string ForTerminal(std::string_view bytes);
