// Any activation file content: the parse yields a table whose keys are
// canonical pipe paths and whose tasks are absolute, or throws one of the
// load's messages.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "activation/activation_registrations.h"
#include "pipes/pipe_path.h"
#include "text/program_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::set<std::string> messages = {
        "Invalid UTF-8 text.",
        "Invalid row in activations.tsv; expected pipe, tab, task path.",
        "Invalid control character in activations.tsv.",
        "Task activation requires an absolute task path.",
        "Duplicate named pipe in activations.tsv.",
        kPipePrefixMessage,
        kPipeAlphabetMessage,
    };
    const std::string content(reinterpret_cast<const char*>(data), size);
    ActivationRegistrations table;
    try {
        table = ParseActivationRegistrations(content);
    } catch (const ProgramError& error) {
        if (messages.count(error.what()) == 0) std::abort();
        return 0;
    }
    for (const auto& [pipe, task] : table) {
        if (ValidatePipePath(pipe) != pipe) std::abort();
        if (task.empty() || task.front() != u'\\' || task.back() == u'\\') std::abort();
    }
    return 0;
}
