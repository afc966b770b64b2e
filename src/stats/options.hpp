// Option words compared byte for byte (case-sensitive) with the strings
// callers pass.
#pragma once

#include <string>

namespace corrshift {

extern const std::string kPearson;
extern const std::string kSpearman;
extern const std::string kTwoSided;
extern const std::string kGreater;
extern const std::string kLess;
extern const std::string kMedian;
extern const std::string kMean;

// The alternative hypothesis an alternative string selects, tested in the
// order "less", "greater", "two-sided".
enum class tail { less, greater, two_sided, unknown };
tail parse_tail(const std::string& alternative);

}  // namespace corrshift
