#include "activation/activation_registrations.h"

#include <algorithm>

#include "pipes/pipe_path.h"
#include "text/program_error.h"

namespace {

constexpr const char* kLocateMessage = "Could not locate task activation registrations.";
constexpr const char* kRowMessage = "Invalid row in activations.tsv; expected pipe, tab, task path.";
constexpr const char* kControlMessage = "Invalid control character in activations.tsv.";
constexpr const char* kTaskPathMessage = "Task activation requires an absolute task path.";
constexpr const char* kDuplicateMessage = "Duplicate named pipe in activations.tsv.";

WideString Join(const WideString& folder, const WideString& name) {
    if (folder.empty() || folder.back() == u'\\' || folder.back() == u'/') return folder + name;
    return folder + u'\\' + name;
}

bool IsControlByte(char c) { return static_cast<unsigned char>(c) < 0x20; }

void AddRow(std::string_view row, ActivationRegistrations& table) {
    const std::size_t tab = row.find('\t');
    if (tab == std::string_view::npos || tab == 0 || tab == row.size() - 1 ||
        row.find('\t', tab + 1) != std::string_view::npos) {
        throw ProgramError(kRowMessage);
    }
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i != tab && IsControlByte(row[i])) throw ProgramError(kControlMessage);
    }
    std::string pipe = ValidatePipePath(row.substr(0, tab));
    const std::string_view task = row.substr(tab + 1);
    if (task.front() != '\\' || task.back() == '\\') throw ProgramError(kTaskPathMessage);
    if (!table.emplace(std::move(pipe), Utf8ToWide(task)).second) throw ProgramError(kDuplicateMessage);
}

}  // namespace

ActivationLocation ActivationPaths(const std::optional<WideString>& localAppData) {
    if (!localAppData) throw ProgramError(kLocateMessage);
    ActivationLocation location;
    location.folder = Join(*localAppData, u"org.quorlssh");
    location.file = Join(location.folder, u"activations.tsv");
    return location;
}

ActivationRegistrations ParseActivationRegistrations(std::string_view content) {
    Utf8ToWide(content);  // the whole file must be UTF-8 before any row counts
    ActivationRegistrations table;
    std::size_t start = 0;
    while (start <= content.size()) {
        const std::size_t end = std::min(content.find('\n', start), content.size());
        std::string_view row = content.substr(start, end - start);
        start = end + 1;
        if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
        if (row.empty()) continue;
        AddRow(row, table);
    }
    return table;
}

ActivationRegistrations LoadActivationRegistrationsWith(const ControlFileOps& ops) {
    const std::optional<std::string> content = ReadControlFileWith(kActivationRules, ops);
    if (!content) return ActivationRegistrations();
    return ParseActivationRegistrations(*content);
}
