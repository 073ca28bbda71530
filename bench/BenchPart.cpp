#include "bench/BenchPart.h"

#include <cstdio>

namespace {

const char* Met(bool met) {
    return met ? "met" : "NOT met";
}

} // namespace

void RunParts(const std::vector<CBenchPart*>& parts) {
    for (CBenchPart* part : parts)
        part->Measure();
    for (const CBenchPart* part : parts)
        part->PrintMethod();
    std::printf("\n");
    std::printf("%-34s %10s %10s %7s  %-28s %s\n", "figure", "measured", "baseline", "ratio",
                "goal", "met");
    for (const CBenchPart* part : parts)
        part->PrintRows();
    std::printf("\n");
    for (const CBenchPart* part : parts)
        part->PrintDetail();
}

void PrintRow(const char* figure, const std::string& measured, const std::string& baseline,
              const std::string& ratio, const std::string& goal, bool met) {
    std::printf("%-34s %10s %10s %7s  %-28s %s\n", figure, measured.c_str(), baseline.c_str(),
                ratio.c_str(), goal.c_str(), Met(met));
}

std::string Fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}
