#pragma once

#include <string>
#include <vector>

// One part of a bench. It measures first, then prints a line on how it
// measures (above the table), its rows of the table and lines of detail
// (below it). A new part is one more class and one more entry in main's list.
class CBenchPart {
  public:
    virtual ~CBenchPart() = default;
    virtual void Measure() = 0;
    virtual void PrintMethod() const {}
    virtual void PrintRows() const = 0;
    virtual void PrintDetail() const {}
};

// Measures the parts in order, then prints each part's method, the table of
// every part's rows and each part's detail.
void RunParts(const std::vector<CBenchPart*>& parts);

// One row of the table: what was measured, the baseline, their ratio and the
// goal, marked "met" or "NOT met".
void PrintRow(const char* figure, const std::string& measured, const std::string& baseline,
              const std::string& ratio, const std::string& goal, bool met);

// v with that many decimals.
std::string Fixed(double v, int decimals);
