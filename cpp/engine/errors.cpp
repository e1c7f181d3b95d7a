#include "engine/errors.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace canopy {

void fail_user(const std::string& message) { throw UserError(message); }

void fail_internal(const std::string& message) { throw InternalError(message); }

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation of the largest double needs 309 digits plus sign.
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) fail_internal("float formatting failed");
    return std::string(buffer, result.ptr);
}

std::size_t checked_mul(std::size_t a, std::size_t b) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) {
        fail_internal("size computation overflows the address space");
    }
    return a * b;
}

}  // namespace canopy
