#pragma once
// The program's one error kind: a fixed English sentence, printed as it stands
// by the entry point or carried as the payload of an answer frame.

#include <stdexcept>
#include <string>

class ProgramError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
