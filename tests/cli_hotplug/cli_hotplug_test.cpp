// The capture command through an unplug: the camera leaves during capture and returns on the
// same port; the command waits for it, sets it up as the command line asked again, resumes and
// ends with every frame asked for.
//
// The command runs under tarvo-vcam, and the test pulls the plug through its control socket, as
// a user's own test of an application would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <sys/wait.h>

#include "support/temp_dir.h"
#include "support/vcam_control.h"
#include "support/wait.h"

namespace {

using tarvo::test::vcam_control;

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome run(const std::string &command) {
    Outcome r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        r.output += buf;
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(CliHotplug, CaptureResumesWhenTheCameraReturns) {
    tarvo::test::TempDir dir;
    const std::string socket = (dir.path() / "vcam.sock").string();
    const std::string captured = (dir.path() / "captured").string();
    const std::string release = (dir.path() / "release").string();
    Outcome outcome;
    std::thread command([&] {
        // The cameras stay until the test has read the camera's parameter: the command waits
        // for the release file after capturing.
        outcome = run(std::string(TARVO_VCAM_PATH) + " --no-calibration --control " + socket +
                      " -- sh -c '" + TARVO_CLI_PATH +
                      " capture -n 120 --reconnect-wait 60 --integration-time 300 && touch " +
                      captured + " && while [ ! -e " + release + " ]; do sleep 0.1; done'");
    });
    // Unplug once frames flow, come back a moment later.
    EXPECT_TRUE(tarvo::test::eventually([&] {
        return tarvo::test::vcam_transfers(vcam_control(socket, "status 0")) >= 20;
    })) << vcam_control(socket, "status 0");
    EXPECT_EQ(vcam_control(socket, "unplug 0"), "ok");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(vcam_control(socket, "replug 0"), "ok");
    const bool captured_all =
        tarvo::test::eventually([&] { return std::ifstream(captured).good(); });
    // 300 microseconds, little-endian: written again after the driver's own 700 at the reopen.
    const std::string integration_time = vcam_control(socket, "param 0 13");
    std::ofstream{release};
    command.join();
    EXPECT_TRUE(captured_all);
    EXPECT_EQ(integration_time, "ok 2c01");
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("camera left"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("capture resumed"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("captured 120 frame(s)"), std::string::npos) << outcome.output;
}

}  // namespace
