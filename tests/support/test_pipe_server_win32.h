#pragma once
// The test pipe server (tests/windows/tools/test_pipe_server.cpp) run from a
// test: started with its arguments, ready once it has said so, and ended by
// closing its standard input when the object goes (as every ChildProcess is).

#include <string>
#include <vector>

#include "support/child_process_win32.h"

// "\\.\pipe\qsb-test-<process id>-<counter>-<tag>": unique per process and call.
std::string UniqueTestPipeName(const std::string& tag);

class TestPipeServer {
public:
    // Starts the server for `pipeName` with the extra `arguments` (see the tool)
    // and waits up to 20 s for its "ready" line. Throws std::runtime_error when
    // it does not come; the message holds the server's standard error.
    TestPipeServer(const std::string& pipeName, const std::vector<std::wstring>& arguments);

private:
    ChildProcess child_;
};
