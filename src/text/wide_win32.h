#pragma once
// Passing the program's UTF-16 strings to and from wide Windows calls. On
// Windows wchar_t and char16_t are both UTF-16 code units.

#include <windows.h>

#include <cwchar>

#include "os/windows_only_win32.h"
#include "text/encoding.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

inline const wchar_t* WinStr(const WideString& text) noexcept { return reinterpret_cast<const wchar_t*>(text.c_str()); }

inline WideString FromWin(const wchar_t* text, std::size_t length) {
    return WideString(reinterpret_cast<const char16_t*>(text), length);
}

inline WideString FromWin(const wchar_t* text) { return text ? FromWin(text, std::wcslen(text)) : WideString(); }
