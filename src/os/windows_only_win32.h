#pragma once
// Every *_win32.h includes this. The portable core must build without
// Windows, and the native build compiles all of it: a portable file that
// reaches for the Windows layer stops that build here, with this sentence.

#ifndef _WIN32
#error "A Windows-layer header (*_win32.h) is included by code that must build without Windows."
#endif
