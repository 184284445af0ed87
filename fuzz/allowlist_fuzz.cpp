// Any allowlist content: the answer is a yes or no, or one of the two pipe
// grammar messages; a yes means some line really is the request.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "allowlist/allowlist.h"
#include "pipes/pipe_path.h"
#include "text/byte_string.h"
#include "text/program_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string request = "\\\\.\\pipe\\app";
    bool listed = false;
    try {
        listed = AllowlistContains(content, request);
    } catch (const ProgramError& error) {
        const std::string message = error.what();
        if (message != kPipePrefixMessage && message != kPipeAlphabetMessage) std::abort();
        return 0;
    }
    // A yes needs a line that is the request in some letter case, blanks aside.
    if (listed) {
        bool found = false;
        std::size_t start = 0;
        while (!found && start <= content.size()) {
            std::size_t end = content.find('\n', start);
            if (end == std::string::npos) end = content.size();
            found = AsciiLower(TrimAsciiSpace(content.substr(start, end - start))) == request;
            start = end + 1;
        }
        if (!found) std::abort();
    }
    // Appending the request on its own line always lists it, unless an
    // earlier bad line throws, which the call above would have done.
    if (!AllowlistContains(content + "\n" + request, request)) std::abort();
    return 0;
}
