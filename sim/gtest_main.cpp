// main() of test binaries that use the virtual cameras in-process: re-executes the binary
// under umockdev's preload, starts the virtual bus before anything initialises libusb, empties
// the bus after every test and removes the testbed directory at the end.
#include "vcam.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

class BusReset final : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo &) override { tarvo::vcam::Bus::get().reset(); }
};

char g_testbed_dir[4096];

void remove_testbed_on_signal(int sig) {
    // Interrupted runs would otherwise leave /tmp/umockdev.XXXXXX behind. Only async-signal-safe
    // calls here: the bus itself may be in the middle of anything.
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/rm", "rm", "-rf", g_testbed_dir, static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

int main(int argc, char **argv) {
    tarvo::vcam::reexec_under_preload(argv);
    testing::InitGoogleTest(&argc, argv);
    auto &bus = tarvo::vcam::Bus::get();
    if (!bus.start()) {
        return 2;
    }
    const std::string root = bus.root_dir();
    if (!root.empty() && root.size() < sizeof g_testbed_dir) {
        std::memcpy(g_testbed_dir, root.c_str(), root.size() + 1);
        signal(SIGINT, remove_testbed_on_signal);
        signal(SIGTERM, remove_testbed_on_signal);
    }
    testing::UnitTest::GetInstance()->listeners().Append(new BusReset);
    const int rc = RUN_ALL_TESTS();
    bus.stop();
    return rc;
}
