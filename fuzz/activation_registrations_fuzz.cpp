// Any activation file content: the product's table, or the sentence that
// refuses the file, must be the reference reading's in reference_grammar.h,
// row for row (canonical pipe path and UTF-16 task path).

#include <cstddef>
#include <cstdint>
#include <string>

#include "activation/activation_registrations.h"
#include "reference_grammar.h"
#include "text/program_error.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const reference::Result<reference::Registrations> expected = reference::Rows(content);
    try {
        const ActivationRegistrations table = ParseActivationRegistrations(content);
        Require(expected.value.has_value());
        Require(table.size() == expected.value->size());
        for (const auto& [pipe, task] : table) {
            const auto it = expected.value->find(pipe);
            Require(it != expected.value->end() && it->second == task);
        }
    } catch (const ProgramError& error) {
        Require(!expected.value.has_value() && expected.error == error.what());
    }
    return 0;
}
