// The readers of the numbers a user types: quartz-capture's options and the page's query.
#include "app/command_line.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qm {

namespace {

bool isDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

// A whole number within [low, high]; leading signs, spaces and suffixes are refused.
bool parseWhole(const std::string& text, long long low, long long high, int& value) {
    if (!isDigits(text) || text.size() > 9) {
        return false;
    }
    const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    if (parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

// Seconds as plain decimals ("12", "12.5", ".5"): strtod alone would also take "inf", "nan",
// hexadecimal and a leading minus.
bool parseSeconds(const std::string& text, double& value) {
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    const auto digitsOrEmpty = [](const std::string& part) {
        return part.empty() || isDigits(part);
    };
    if (whole.empty() && fraction.empty()) {
        return false;
    }
    if (!digitsOrEmpty(whole) || !digitsOrEmpty(fraction) || text.size() > 32) {
        return false;
    }
    value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value);
}

} // namespace qm
