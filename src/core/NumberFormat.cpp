#include "core/NumberFormat.h"

#include <charconv>
#include <cmath>

namespace talvex {

namespace {

std::string toChars(double value, std::chars_format format) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string formatNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    double magnitude = std::fabs(value);
    if (magnitude != 0 && (magnitude < 1e-4 || magnitude >= 1e16))
        return toChars(value, std::chars_format::scientific);
    std::string text = toChars(value, std::chars_format::fixed);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace talvex
