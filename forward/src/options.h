#pragma once
// The forwarder's command line.

#include <string>
#include <vector>

#include "listen_address.h"

struct ForwardOptions {
    bool help = false;
    bool verbose = false;
    bool watch = false;
    std::vector<ListenAddress> listen;  // bridge mode
    std::vector<std::string> pipes;     // watch mode
    std::vector<std::string> command;
};

// Throws ProgramError with a sentence for a command line it cannot take.
ForwardOptions ParseForwardOptions(const std::vector<std::string>& args);

extern const char* const kForwardHelp;
