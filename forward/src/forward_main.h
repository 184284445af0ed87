#pragma once
// The whole program behind main(): returns the exit status.

#include <string>
#include <vector>

int RunForwarder(const std::vector<std::string>& args);
