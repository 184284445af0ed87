#pragma once
// Handle and thread counts of another process, for leak checks of the product.

#include <windows.h>

#include <map>
#include <string>

// Handles the process holds now. Wine answers GetProcessHandleCount with 0,
// so there the handles are found by duplicating each possible handle value
// (needs PROCESS_DUP_HANDLE); 0 when nothing can be read.
DWORD HandleCountOf(HANDLE process);
// The handles found by duplicating each possible value, with their object
// type names ("Event", "File", ...; "?" when the type cannot be read): for
// telling which handles a leak check found left over.
std::map<ULONG_PTR, std::string> HandlesOf(HANDLE process);
// Threads of the process now, from a toolhelp snapshot; 0 when it cannot be taken.
DWORD ThreadCountOf(DWORD processId);
