#include "cli/ReplyStats.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

// Nearest rank: the index of the smallest value with at least p of the n
// sorted values at or below it.
size_t Rank(double p, size_t n) {
    const size_t r = static_cast<size_t>(std::ceil(p * static_cast<double>(n)));
    return std::clamp<size_t>(r, 1, n) - 1;
}

} // namespace

ReplyStats ComputeReplyStats(std::vector<double> times) {
    ReplyStats st;
    if (times.empty())
        return st;
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    st.nRuns = static_cast<int>(n);
    st.dMin = times.front();
    st.dMedian = times[Rank(0.5, n)];
    st.dP95 = times[Rank(0.95, n)];
    st.dMax = times.back();
    return st;
}

double NearestRankMedian(std::vector<double> values) {
    return ComputeReplyStats(std::move(values)).dMedian;
}
