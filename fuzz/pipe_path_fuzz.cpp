// Any byte string, as a pipe path and as the name after the prefix: the
// product's ValidatePipePath, CanonicalPipeSid, PipeBaseName and
// ProductPipeNameFor must agree with the reference reading of the grammar in
// reference_grammar.h, refusal sentence and canonical value alike.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "pipes/pipe_path.h"
#include "reference_grammar.h"
#include "text/program_error.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

// The product's answer in the reference's shape.
template <typename Call>
reference::Result<std::string> Product(Call call) {
    try {
        return {call(), std::string()};
    } catch (const ProgramError& error) {
        return {std::nullopt, error.what()};
    }
}

void Same(const reference::Result<std::string>& expected, const reference::Result<std::string>& got) {
    Require(expected.value.has_value() == got.value.has_value());
    if (expected.value) Require(*expected.value == *got.value);
    else Require(expected.error == got.error);
}

void CheckPath(const std::string& input) {
    const reference::Result<std::string> expected = reference::PipePath(input);
    Same(expected, Product([&] { return ValidatePipePath(input); }));

    const reference::Result<std::string> identity = Product([&] { return CanonicalPipeSid(input); });
    if (!expected.value) {
        // The identity of a bad path fails with the grammar's sentence.
        Same(expected, identity);
        return;
    }
    const std::string& canonical = *expected.value;
    Require(identity.value.has_value());
    Require(PipeBaseName(canonical) == reference::BaseName(canonical));
    const std::optional<std::size_t> dot = reference::SuffixDot(canonical);
    if (!dot) {
        Require(identity.value->empty());
        return;
    }
    const std::optional<std::string> should = reference::Identity(canonical.substr(*dot + 1));
    if (should) Require(*identity.value == *should);
    // Beyond doubt or not, an identity always names the suffix it came from.
    if (!identity.value->empty()) Require(reference::LowerAll(*identity.value) == canonical.substr(*dot + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckPath(input);
    // Random bytes rarely spell the prefix: try every input as a name too.
    CheckPath("\\\\.\\pipe\\" + input);
    // And as the SID text of the companion product's pipe.
    Same(reference::PipePath("\\\\.\\pipe\\org.quorltholm.QuorlTholm." + input),
         Product([&] { return ProductPipeNameFor(input); }));
    return 0;
}
