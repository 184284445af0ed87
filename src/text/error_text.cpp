#include "text/error_text.h"

#include <charconv>

namespace {

std::string Number(std::uint32_t value, int base) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
    return std::string(digits, result.ptr);
}

}  // namespace

std::string WindowsErrorSuffix(std::uint32_t code) { return " (Windows error " + Number(code, 10) + ")."; }

std::string HresultSuffix(std::uint32_t hresult) { return " (HRESULT 0x" + Number(hresult, 16) + ")."; }
