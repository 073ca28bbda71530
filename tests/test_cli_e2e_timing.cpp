// quillmark-cli's fault cases whose verdict rests on gaps of a few
// milliseconds: an executable of their own, labelled timing.
#include <gtest/gtest.h>

#include <string>

#include "CliE2e.h"

namespace {

const FaultCase FAULTS[] = {
    // On UDP the worker's 1 ms second receive must start within the gap:
    // half a second holds on a loaded machine, where 20 ms did not.
    {"byte_gap",
     {"--fault", "byte-gap"},
     {VERSION_GOOD, VERSION_GOOD, UDP_TIMEOUT},
     {0, 0, 1},
     {"--fault", "byte-gap", "--byte-gap", "500"}},
};

INSTANTIATE_TEST_SUITE_P(All, CliFaults, testing::ValuesIn(FAULTS),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
