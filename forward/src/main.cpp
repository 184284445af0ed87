#include <string>
#include <vector>

#include "forward_main.h"

int main(int argc, char** argv) { return RunForwarder(std::vector<std::string>(argv + 1, argv + argc)); }
