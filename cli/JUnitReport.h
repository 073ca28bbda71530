#pragma once

#include <string>
#include <vector>

#include "cli/ScriptRun.h"

// Writes the results as JUnit XML: one <testsuite> named suite with a
// <testcase> per step run and a <failure> with its message for each failed
// one. Returns true, or false with the reason in error when the file cannot
// be written.
bool WriteJUnitReport(const std::string& path, const std::string& suite,
                      const std::vector<StepResult>& results, double totalSeconds,
                      std::string& error);
