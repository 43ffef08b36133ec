// Helpers for suites that run our programs as child processes.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"
#include "temp_dir.h"

namespace snt_test {

// snt, built next to the test, with `args` and nothing on its input.
inline ProcessResult snt(const std::vector<std::string> &args, double timeout_s = 60)
{
    std::vector<std::string> argv{built_program("snt")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, "", timeout_s);
}

// snt-sim, built next to the test, with `args` and `input` on its input.
inline ProcessResult snt_sim(const std::vector<std::string> &args, const std::string &input = "", double timeout_s = 30)
{
    std::vector<std::string> argv{built_program("snt-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, input, timeout_s);
}

// Orphans of the programs we run become our children, so a virtual device
// left behind by snt shows up in no_children_left().
class ReapsOrphans : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    static bool no_children_left()
    {
        // Give a (wrongly) orphaned process a moment to be re-parented.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int status = 0;
        return waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
    }
};

// snt-sim --pty PATH with `options`, its link in a folder of its own,
// started by the constructor and stopped by the destructor.
class PtySim {
public:
    explicit PtySim(const std::vector<std::string> &options = {})
    {
        std::vector<std::string> argv{built_program("snt-sim"), "--pty", link_};
        argv.insert(argv.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) exec_program(argv);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        struct stat st {};
        while (lstat(link_.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~PtySim()
    {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    PtySim(const PtySim &) = delete;
    PtySim &operator=(const PtySim &) = delete;

    const std::string &port() const { return link_; }

private:
    TempDir folder_{"snt_pty_sim"};
    std::string link_ = folder_ / "port";
    pid_t pid_ = -1;
};

} // namespace snt_test
