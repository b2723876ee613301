// A fixture for code that takes SSE2 compares where the processor has them: every
// case runs with them allowed and refused, so that a 32-bit build tests the word
// arithmetic of processors without SSE2 as well.
#pragma once

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace lumaro::testing {

class WithAndWithoutSse2 : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { platform::RefuseSse2(GetParam()); }
    void TearDown() override { platform::RefuseSse2(false); }
};

inline std::string Sse2CaseName(const ::testing::TestParamInfo<bool>& Info) {
    return Info.param ? "Refused" : "Allowed";
}

}  // namespace lumaro::testing
