// The viewer through an unplug: the camera leaves while `tarvo view` serves it; the server keeps
// answering, says the camera is away and refuses changes, and when the camera returns on the
// same port, capture resumes with the page's settings and new frames reach the page.
//
// The viewer runs under tarvo-vcam and is driven over HTTP as the page drives it; the test pulls
// the plug and reads the camera's parameters through tarvo-vcam's control socket.
#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "support/temp_dir.h"
#include "support/vcam_control.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using tarvo::test::vcam_control;

constexpr const char *kIntegrationTime = "13";  // the parameter

// Generous: a loaded machine and a sanitised tool are slow, and nothing here measures time.
constexpr auto kPatience = 120s;

// `tarvo view --port 0 ARGS...` under tarvo-vcam (one camera, control socket at `socket`) with
// its output (standard output and error) collected.
class ViewerProcess {
  public:
    ViewerProcess(const std::string &socket, const std::vector<std::string> &extra) {
        std::vector<std::string> args = {
            TARVO_VCAM_PATH, "--no-calibration", "--control", socket, "--", TARVO_CLI_PATH,
            "view",          "--port",           "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] { collect(fd); });
    }
    ~ViewerProcess() {
        // SIGTERM: tarvo-vcam hands it on to the viewer, so neither is left behind.
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable())
            reader_.join();
    }

    // Reads the port and token of the printed address; false when it never came.
    bool wait_for_address() {
        static const std::regex address(R"(http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+))");
        return wait_for_output([&](const std::string &out) {
            std::smatch m;
            if (!std::regex_search(out, m, address))
                return false;
            port_ = std::stoi(m[1]);
            token_ = m[2];
            return true;
        });
    }
    bool wait_for_output(const std::function<bool(const std::string &)> &seen) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return seen(output_) || ended_; }) &&
               seen(output_);
    }
    std::string output() {
        std::lock_guard lock(mutex_);
        return output_;
    }
    int port() const { return port_; }
    const std::string &token() const { return token_; }

    // Exit status after SIGTERM (or after the viewer ended by itself); -1: killed or crashed.
    int stop() {
        if (pid_ > 0 && !status_)
            kill(pid_, SIGTERM);
        return wait_exit();
    }
    int wait_exit() {
        if (pid_ <= 0)
            return -1;
        if (!status_) {
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (reader_.joinable())
            reader_.join();
        return *status_;
    }

  private:
    void collect(int fd) {
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            std::lock_guard lock(mutex_);
            output_.append(buf, static_cast<size_t>(n));
            changed_.notify_all();
        }
        close(fd);
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    int port_ = 0;
    std::string token_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;  // guarded by mutex_
    bool ended_ = false;  // guarded by mutex_
};

// A number or string field of the viewer's status JSON, as its text.
std::string field(const std::string &json, const std::string &name) {
    const std::regex re("\"" + name + "\":(\"([^\"]*)\"|[-0-9.a-z]+)");
    std::smatch m;
    if (!std::regex_search(json, m, re))
        return "";
    return m[2].matched ? m[2].str() : m[1].str();
}

class ViewHotplug : public testing::Test {
  protected:
    std::string control(const std::string &line) { return vcam_control(socket_, line); }

    void connect(ViewerProcess &viewer) {
        http_ = std::make_unique<httplib::Client>("127.0.0.1", viewer.port());
        http_->set_read_timeout(60, 0);
        http_->set_connection_timeout(30, 0);
        token_ = viewer.token();
    }
    std::string status() {
        const auto res = http_->Get("/status");
        return res && res->status == 200 ? res->body : "";
    }
    // Polls the status until `done` holds for it; the last status seen.
    std::string wait_status(const std::function<bool(const std::string &)> &done) {
        std::string s;
        for (auto until = std::chrono::steady_clock::now() + kPatience;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(200ms)) {
            s = status();
            if (done(s))
                break;
        }
        return s;
    }
    // The sequence number of the first frame newer than `after`; 0 when none came.
    uint32_t next_frame(uint32_t after) {
        for (auto until = std::chrono::steady_clock::now() + kPatience;
             std::chrono::steady_clock::now() < until;) {
            const auto res = http_->Get("/frame?after=" + std::to_string(after));
            if (res && res->status == 200 && res->body.size() >= 24 &&
                res->body.compare(0, 4, "TVF1") == 0) {
                uint32_t seq = 0;
                std::memcpy(&seq, res->body.data() + 4, 4);
                return seq;
            }
            if (!res)
                std::this_thread::sleep_for(200ms);
        }
        return 0;
    }
    httplib::Result change(const std::string &body) {
        return http_->Post("/control", {{"X-Tarvo-Token", token_}}, body,
                           "application/x-www-form-urlencoded");
    }

    tarvo::test::TempDir dir_;
    const std::string socket_ = (dir_.path() / "vcam.sock").string();
    std::unique_ptr<httplib::Client> http_;
    std::string token_;
};

TEST_F(ViewHotplug, ServesThroughAnUnplugAndResumesWithThePageSettings) {
    ViewerProcess viewer(socket_, {});
    ASSERT_TRUE(viewer.wait_for_address()) << viewer.output();
    connect(viewer);
    const uint32_t first = next_frame(0);
    ASSERT_GT(first, 0u) << viewer.output();
    const std::string factory_integration = control(std::string("param 0 ") + kIntegrationTime);
    ASSERT_EQ(factory_integration.compare(0, 3, "ok "), 0) << factory_integration;
    const auto set = change("integration=321");
    ASSERT_TRUE(set) << viewer.output();
    ASSERT_EQ(set->status, 200) << set->body;

    ASSERT_EQ(control("unplug 0"), "ok");
    std::string s =
        wait_status([](const std::string &now) { return field(now, "camera") == "away"; });
    ASSERT_EQ(field(s, "camera"), "away") << s << viewer.output();
    EXPECT_EQ(field(s, "capturing"), "false") << s;
    EXPECT_NE(field(s, "camera_note").find("camera left"), std::string::npos) << s;
    // While it is away, changes and the lens-based answers say why they cannot be had.
    for (const auto &res : {change("integration=400"), http_->Get("/rays")}) {
        ASSERT_TRUE(res) << viewer.output();
        EXPECT_EQ(res->status, 503);
        EXPECT_NE(res->body.find("\"error\":\"the camera left"), std::string::npos) << res->body;
    }

    // A camera that lost power has forgotten its settings; the viewer sets them again.
    EXPECT_EQ(
        control(std::string("param 0 ") + kIntegrationTime + " " + factory_integration.substr(3)),
        "ok");
    const uint32_t before_return = static_cast<uint32_t>(std::stoul(field(status(), "seq")));
    ASSERT_EQ(control("replug 0"), "ok");
    s = wait_status([](const std::string &now) { return field(now, "camera") == "capturing"; });
    ASSERT_EQ(field(s, "camera"), "capturing") << s << viewer.output();
    EXPECT_EQ(field(s, "camera_note"), "camera back, capture resumed") << s;
    EXPECT_EQ(field(s, "resumed"), "1") << s;
    EXPECT_EQ(field(s, "integration_us"), "321") << s;
    EXPECT_GT(next_frame(before_return), before_return) << viewer.output();
    const auto again = change("integration=400");
    ASSERT_TRUE(again) << viewer.output();
    EXPECT_EQ(again->status, 200) << again->body;

    EXPECT_EQ(viewer.stop(), 0) << viewer.output();
    const std::string out = viewer.output();
    EXPECT_NE(out.find("tarvo: camera left; waiting for it to return"), std::string::npos) << out;
    EXPECT_NE(out.find("tarvo: camera back, capture resumed"), std::string::npos) << out;
}

// With a limit the viewer gives up on a camera that stays away, and says so in its exit status;
// with 0 it does not wait at all.
TEST_F(ViewHotplug, GivesUpWhenTheCameraStaysAway) {
    for (const char *wait : {"2", "0"}) {
        SCOPED_TRACE(wait);
        ViewerProcess viewer(socket_, {"--reconnect-wait", wait});
        ASSERT_TRUE(viewer.wait_for_address()) << viewer.output();
        connect(viewer);
        ASSERT_GT(next_frame(0), 0u) << viewer.output();
        ASSERT_EQ(control("unplug 0"), "ok");
        EXPECT_EQ(viewer.wait_exit(), 1) << viewer.output();
        const std::string out = viewer.output();
        EXPECT_NE(out.find(*wait == '0' ? "tarvo: the camera left"
                                        : "tarvo: the camera did not come back"),
                  std::string::npos)
            << out;
    }
}

}  // namespace
