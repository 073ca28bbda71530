#pragma once

#include <vector>

// The reply-time figures of a step that ran more than once, in ms.
struct ReplyStats {
    int nRuns = 0;
    double dMin = 0, dMedian = 0, dP95 = 0, dMax = 0;
};

// Nearest-rank statistics of times (not empty).
ReplyStats ComputeReplyStats(std::vector<double> times);

// The nearest-rank median, as the run's summary gives it: the smallest value
// with at least half the values at or below it (of an even count, the lower
// middle one); 0 for none. The benches' medians are this one too.
double NearestRankMedian(std::vector<double> values);
