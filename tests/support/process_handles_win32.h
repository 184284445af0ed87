#pragma once
// The handles another process holds, by value and type, for naming what a
// leak check found left over (the counts are in process_usage_win32.h).

#include <windows.h>

#include <map>
#include <string>

// The handles found by duplicating each possible value, with their object
// type names ("Event", "File", ...; "?" when the type cannot be read): for
// telling which handles a leak check found left over.
std::map<ULONG_PTR, std::string> HandlesOf(HANDLE process);
