#include "python/config_table.hpp"

#include <charconv>

namespace canopy::py {

std::string show_value(std::uint64_t v) { return std::to_string(v); }

std::string show_value(double v) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    // "1e-04" reads as "1e-4": no plus sign, no leading zeros in the exponent.
    const std::size_t e = text.find('e');
    if (e == std::string::npos) return text;
    std::string exponent = text.substr(e + 1);
    const bool negative = !exponent.empty() && exponent[0] == '-';
    if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+')) exponent.erase(0, 1);
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
    return text.substr(0, e + 1) + (negative ? "-" : "") + exponent;
}

std::string show_value(bool v) { return v ? "True" : "False"; }

std::string show_value(const std::string& v) { return "\"" + v + "\""; }

}  // namespace canopy::py
