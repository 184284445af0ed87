// Any byte string: ValidatePipePath either refuses it with one of its two
// messages or returns a canonical path that passes the grammar again unchanged;
// CanonicalPipeSid agrees with it and yields an identity only in standard form.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pipes/pipe_path.h"
#include "text/byte_string.h"
#include "text/program_error.h"

namespace {

void CheckOne(const std::string& input) {
    std::string canonical;
    try {
        canonical = ValidatePipePath(input);
    } catch (const ProgramError& error) {
        const std::string message = error.what();
        if (message != kPipePrefixMessage && message != kPipeAlphabetMessage) std::abort();
        return;
    }
    if (canonical.size() != input.size() || canonical != AsciiLower(canonical)) std::abort();
    if (ValidatePipePath(canonical) != canonical) std::abort();
    if (canonical.compare(0, kPipePrefix.size(), kPipePrefix) != 0) std::abort();

    const std::string identity = CanonicalPipeSid(input);
    if (identity != CanonicalPipeSid(canonical)) std::abort();
    if (!identity.empty()) {
        // The identity is exactly the lowered suffix with an upper-case "S".
        const std::string suffix = ".s" + AsciiLower(identity).substr(1);
        if (canonical.size() < suffix.size() ||
            canonical.compare(canonical.size() - suffix.size(), suffix.size(), suffix) != 0) {
            std::abort();
        }
        if (identity.compare(0, 4, "S-1-") != 0) std::abort();
        const std::string base = PipeBaseName(canonical);
        if (kPipePrefix.size() + base.size() + suffix.size() != canonical.size() || base.empty()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckOne(input);
    // Random bytes rarely spell the prefix: try every input as a name too.
    CheckOne(std::string(kPipePrefix) + input);
    return 0;
}
