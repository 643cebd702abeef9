// Runs a pipeline test once per instruction-set tier of the line kernels; a tier this processor
// cannot run is skipped. The tier in use before the test is put back after it.
#pragma once

#include <gtest/gtest.h>

#include "epc/calc_kernel.h"
#include "pipeline_fixture.h"

namespace tarvo::test {

class KernelTierTest : public PipelineTest, public ::testing::WithParamInterface<epc::KernelTier> {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        before_ = epc::kernel_tier();
        if (GetParam() > epc::best_kernel_tier())
            GTEST_SKIP() << "this processor does not run " << epc::kernel_tier_name(GetParam());
        epc::use_kernel_tier(GetParam());
    }
    void TearDown() override {
        epc::use_kernel_tier(before_);
        PipelineTest::TearDown();
    }

  private:
    epc::KernelTier before_ = epc::KernelTier::portable;
};

inline std::string kernel_tier_param_name(const ::testing::TestParamInfo<epc::KernelTier> &info) {
    return epc::kernel_tier_name(info.param);
}

// DRNU by distance images (mode 2) with an offset, a DRNU offset and a temperature term away
// from the calibration temperatures, as the kernel comparisons use it.
inline void use_distance_image_drnu_with_temperature() {
    calculationSetEnableDRNU_simulate(2);
    calibrationEnableDefaultOffset(0);
    calibrationSetOffsetPhase(-1234);
    offsetDRNU = 8364;
    calculationSetEnableTemperature_simulate(1);
    const int16_t header[2] = {static_cast<int16_t>(gTempCal - 37),
                               static_cast<int16_t>(gTempCalIb + 12)};
    temperatureSetTemperatureByFrameHeader(header);
}

}  // namespace tarvo::test

#define TARVO_INSTANTIATE_FOR_EVERY_KERNEL_TIER(suite)                                    \
    INSTANTIATE_TEST_SUITE_P(                                                             \
        KernelTiers, suite,                                                               \
        ::testing::Values(tarvo::epc::KernelTier::portable, tarvo::epc::KernelTier::avx2, \
                          tarvo::epc::KernelTier::avx512),                                \
        tarvo::test::kernel_tier_param_name)
