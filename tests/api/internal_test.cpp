// Internal helpers of the library frame: the wall clock and path joining.
#include <gtest/gtest.h>

#include <ctime>

#include "api/path.h"
#include "api/wall_clock.h"

namespace {

TEST(WallClock, MillisecondResolutionNearTheSystemClock) {
    for (int i = 0; i < 2000; ++i) {
        const tarvo::WallTime t = tarvo::wall_clock();
        ASSERT_EQ(t.usec % 1000, 0);
        ASSERT_GE(t.usec, 0);
        ASSERT_LT(t.usec, 1000000);
    }
    const std::time_t before = std::time(nullptr);
    const tarvo::WallTime t = tarvo::wall_clock();
    EXPECT_LE(before, t.sec + 1);
    EXPECT_LE(t.sec, std::time(nullptr) + 1);
}

TEST(PathJoin, BackslashesAreSeparators) {
    struct Case {
        const char *prefix;
        const char *name;
        const char *joined;
    };
    const Case cases[] = {
        {".\\", "calibration.bin", "./calibration.bin"},
        {"data/", "lens_param.txt", "data/lens_param.txt"},
        {"data", "x.bin", "data/x.bin"},
        {"", "x.bin", "x.bin"},
        {"c:\\cam\\", "sub\\*.bin", "c:/cam/sub/*.bin"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tarvo::path_join(c.prefix, c.name), c.joined) << c.prefix << " + " << c.name;
    }
}

}  // namespace
