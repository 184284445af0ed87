#pragma once
// How Windows error codes and HRESULT values appear inside messages.

#include <cstdint>
#include <string>
#include <string_view>

// " (Windows error 5)." : the code in unsigned decimal.
std::string WindowsErrorSuffix(std::uint32_t code);

// " (HRESULT 0x8007000e)." : unsigned lower-case hexadecimal, no leading zeros.
std::string HresultSuffix(std::uint32_t hresult);

inline std::string WithWindowsError(std::string_view message, std::uint32_t code) {
    return std::string(message) + WindowsErrorSuffix(code);
}

inline std::string WithHresult(std::string_view message, std::uint32_t hresult) {
    return std::string(message) + HresultSuffix(hresult);
}
