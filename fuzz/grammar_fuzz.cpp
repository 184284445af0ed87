// The program's text grammars on any input. Their rules case by case are the
// unit tests' tables; here every input must be refused with one of the
// grammars' own sentences, never anything else, and what is accepted must read
// back the same: a canonical path is its own canonical form with the same
// identity, an allowlist line written out again parses to itself, a listed
// request stays listed on a line of its own, an activation table written out
// again parses to itself. Byte 0 chooses the grammar, the rest is the text:
//   0  a pipe path, also as the name after the prefix and as the SID text of
//      the companion product's pipe
//   1  an allowlist: the request up to the first NUL byte (without one,
//      "\\.\pipe\app"), then the content
//   2  an activation file

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "activation/activation_registrations.h"
#include "allowlist/allowlist.h"
#include "pipes/pipe_path.h"
#include "text/byte_string.h"
#include "text/encoding.h"
#include "text/program_error.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

const std::set<std::string> kRefusals = {
    "Enter a local named pipe path beginning with \\\\.\\pipe\\.",
    "Pipe names may contain letters, numbers, dots, hyphens, and underscores.",
    "Named pipe allowlist entries may only add served-by and a SID such as S-1-5-18 after the pipe path.",
    "A served-by in the named pipe allowlist must repeat the SID in the pipe name.",
    "Invalid UTF-8 text.",
    "Invalid row in activations.tsv; expected pipe, tab, task path.",
    "Invalid control character in activations.tsv.",
    "Task activation requires an absolute task path.",
    "Duplicate named pipe in activations.tsv."};

// The value of `call`, or nothing after a refusal with one of the sentences.
template <typename Call>
auto Answer(Call call) -> std::optional<decltype(call())> {
    try {
        return call();
    } catch (const ProgramError& error) {
        Require(kRefusals.count(error.what()) == 1);
        return std::nullopt;
    }
}

void CheckPath(const std::string& input) {
    const auto canonical = Answer([&] { return ValidatePipePath(input); });
    const auto identity = Answer([&] { return CanonicalPipeSid(input); });
    Require(canonical.has_value() == identity.has_value());
    if (!canonical) return;
    Require(*canonical == AsciiLower(input) && ValidatePipePath(*canonical) == *canonical);
    Require(CanonicalPipeSid(*canonical) == *identity);
    // The name is its base, then the identity's own suffix when there is one.
    const std::string base = std::string(kPipePrefix) + PipeBaseName(*canonical);
    Require(canonical->compare(0, base.size(), base) == 0);
    if (!identity->empty()) Require(*canonical == base + "." + AsciiLower(*identity));
}

void CheckAllowlist(const std::string& content, const std::string& request) {
    for (const std::string& line : AllowlistEntryLines(content)) {
        const auto parsed = Answer([&] { return ParseAllowlistLine(line); });
        if (!parsed) continue;
        const AllowlistLine again = ParseAllowlistLine(AllowlistLineText(*parsed));
        Require(again.path == parsed->path && again.entry.servedBy == parsed->entry.servedBy);
    }
    const auto canonical = Answer([&] { return ValidatePipePath(request); });
    if (!canonical) return;
    // Content that refuses nothing lists the request on a line of its own,
    // with the served-by of an earlier line that lists it.
    const auto found = Answer([&] { return FindAllowlistEntry(content, *canonical); });
    if (!found) return;
    const auto listed = FindAllowlistEntry(content + "\n" + request, *canonical);
    Require(listed && listed->servedBy == (*found ? (*found)->servedBy : std::string()));
}

void CheckActivations(const std::string& content) {
    const auto table = Answer([&] { return ParseActivationRegistrations(content); });
    if (!table) return;
    std::string written;
    for (const auto& [pipe, task] : *table) {
        Require(ValidatePipePath(pipe) == pipe);
        written += pipe + "\t" + WideToUtf8(task) + "\n";
    }
    const auto again = Answer([&] { return ParseActivationRegistrations(written); });
    Require(again && *again == *table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0: {
            CheckPath(text);
            // Random bytes rarely spell the prefix: try every input as a name too.
            CheckPath("\\\\.\\pipe\\" + text);
            const auto product = Answer([&] { return ProductPipeNameFor(text); });
            if (product) Require(ValidatePipePath(*product) == *product);
            break;
        }
        case 1: {
            const std::size_t nul = text.find('\0');
            if (nul == std::string::npos) CheckAllowlist(text, "\\\\.\\pipe\\app");
            else CheckAllowlist(text.substr(nul + 1), text.substr(0, nul));
            break;
        }
        default:
            CheckActivations(text);
    }
    return 0;
}
