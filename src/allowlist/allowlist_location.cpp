#include "allowlist/allowlist_location.h"

#include "text/program_error.h"

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Length of the root part: "C:\", "C:", "\\server\share\", "\", "\\?\C:\" ...
std::size_t RootLength(const WideString& path) {
    const std::size_t n = path.size();
    if (n >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // UNC or device path: two more components (server and share, or "?" and a drive).
        std::size_t i = 2;
        for (int component = 0; component < 2 && i < n; ++component) {
            while (i < n && !IsSeparator(path[i])) ++i;
            if (component == 0 && i < n) ++i;
        }
        if (i < n && IsSeparator(path[i])) ++i;
        return i;
    }
    std::size_t i = 0;
    if (n >= 2 && path[1] == u':') i = 2;
    if (i < n && IsSeparator(path[i])) ++i;
    return i;
}

}  // namespace

WideString AllowlistFolder(const WideString& file) {
    const std::size_t root = RootLength(file);
    std::size_t end = file.size();
    while (end > root && !IsSeparator(file[end - 1])) --end;  // over the last component
    while (end > root && IsSeparator(file[end - 1])) --end;   // over the separators before it
    if (end <= root) return file.substr(0, root);
    return file.substr(0, end);
}

WideString DefaultAllowlistPathUnder(const std::optional<WideString>& localAppData) {
    if (!localAppData) throw ProgramError(kLocalAppDataMessage);
    WideString path = *localAppData;
    if (!path.empty() && path.back() != u'\\' && path.back() != u'/') path += u'\\';
    return path + u"QuorlSSH\\http-pipe.allow";
}
