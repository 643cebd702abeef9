// DDS in tests: a configuration of our own (loopback only, no multicast, the peer on 127.0.0.1),
// a domain id and namespace of this process so that parallel tests never see each other, and the
// tool as a child process.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dds_subscriber.h"

extern char **environ;

namespace tarvo::test {

// Sets CYCLONEDDS_URI for this process and the children it starts.
inline void use_loopback_dds() {
    setenv("CYCLONEDDS_URI",
           "<CycloneDDS><Domain id=\"any\"><General><Interfaces><NetworkInterface "
           "address=\"127.0.0.1\"/></Interfaces><AllowMulticast>false</AllowMulticast>"
           "</General><Discovery><Peers><Peer address=\"127.0.0.1\"/></Peers>"
           "<ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>20"
           "</MaxAutoParticipantIndex></Discovery></Domain></CycloneDDS>",
           1);
}

// A domain id of this process, `slot` apart for the test cases that run at once.
inline uint32_t test_domain(uint32_t slot = 0) {
    return 1 + (static_cast<uint32_t>(getpid()) * 7 + slot) % 230;
}

// A namespace no other process uses.
inline std::string test_namespace(const std::string &name) {
    return name + "_" + std::to_string(getpid());
}

// A program run as a child with its standard output and error in a file.
class Child {
  public:
    explicit Child(std::vector<std::string> args)
        : log_("dds_child_" + std::to_string(getpid()) + "_" + std::to_string(++count()) + ".log") {
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        stop();
        std::remove(log_.c_str());
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() {
        if (pid_ <= 0)
            return false;
        if (waitpid(pid_, &status_, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ > 0;
    }
    // SIGTERM, then the exit status (-1 when it died otherwise).
    int stop() {
        if (running()) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return exit_status();
    }
    int wait() {
        if (pid_ > 0) {
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return exit_status();
    }
    std::string output() const {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    int exit_status() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    static int &count() {
        static int n = 0;
        return n;
    }
    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_;
};

// The newest sample of each topic, received while `keep_going` holds and not all arrived.
struct Latest {
    dds::Received of[dds::kTopicCount];
    bool have[dds::kTopicCount] = {};
    bool all() const { return have[0] && have[1] && have[2] && have[3]; }
    const dds::Received &operator[](dds::Topic t) const { return of[static_cast<int>(t)]; }
};

template <typename Pred>
Latest receive_all(dds::Subscriber &sub, Pred keep_going) {
    Latest latest;
    while (!latest.all() && keep_going())
        sub.poll(100, [&](const dds::Received &r) {
            latest.of[static_cast<int>(r.topic)] = r;
            latest.have[static_cast<int>(r.topic)] = true;
        });
    return latest;
}

}  // namespace tarvo::test
