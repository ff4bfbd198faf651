// The readers of a rate and a time as quartz-capture's --fps and --from/--to and the browser's
// capture=SEC&fps=N take them: a whole number within [low, high], and seconds as plain decimals.
// Signs, spaces, suffixes, "inf", "nan" and hexadecimal are refused.
#pragma once

#include <string>

namespace qm {

bool parseWhole(const std::string& text, long long low, long long high, int& value);
bool parseSeconds(const std::string& text, double& value);

} // namespace qm
