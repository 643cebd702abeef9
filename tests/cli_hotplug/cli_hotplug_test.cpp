// The capture command through an unplug: the camera leaves during capture and returns on the
// same port; the command waits for it, resumes and ends with every frame asked for.
//
// The command runs as a child process on this process's virtual bus (it inherits the USB
// emulation's environment), so the test can pull the plug while it captures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <sys/wait.h>

#include "frames/camera_frames.h"
#include "support/wait.h"
#include "vcam.h"

namespace {

namespace vcam = tarvo::vcam;

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
    auto cam = vcam::Bus::get().add_camera();
    cam->set_stream_source(vcam::make_camera_stream());
    Outcome outcome;
    std::thread command([&] {
        outcome = run(std::string(TARVO_CLI_PATH) + " capture -n 120 --reconnect-wait 60");
    });
    // Unplug once frames flow, come back a moment later.
    tarvo::test::eventually([&] { return cam->stream_stats().completed >= 20; });
    cam->unplug();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    cam->replug();
    command.join();
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_NE(outcome.output.find("camera left"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("capture resumed"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("captured 120 frame(s)"), std::string::npos) << outcome.output;
}

}  // namespace
