#include "options.hpp"

namespace corrshift {

const std::string kPearson = "pearson";
const std::string kSpearman = "spearman";
const std::string kTwoSided = "two-sided";
const std::string kGreater = "greater";
const std::string kLess = "less";
const std::string kMedian = "median";
const std::string kMean = "mean";

tail parse_tail(const std::string& alternative) {
    if (alternative == kLess) return tail::less;
    if (alternative == kGreater) return tail::greater;
    if (alternative == kTwoSided) return tail::two_sided;
    return tail::unknown;
}

}  // namespace corrshift
