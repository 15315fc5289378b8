#include "connect/runner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using ConnectVerifier::reapGraceSeconds;
using ConnectVerifier::runBounded;
using ConnectVerifier::waitForExit;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string shell = "/bin/sh";
const std::string mebibyte(1 << 20, 'i');

std::optional<std::string> runScript(const std::string& script, const std::string& input = "",
                                     double timeout = 5, ConnectProbeHandle* handle = nullptr) {
    return runBounded(shell, {"-c", script}, input, timeout, handle);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// Checks a condition until it holds, so that tests wait for events rather than for fixed times.
bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (Clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

/// Reaped children are gone; a child that was left running or unreaped still answers to kill(pid, 0).
bool gone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

std::shared_ptr<ChildProcess> spawnQuiet(const std::string& script) {
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    auto child = ChildProcess::spawn(shell, {"-c", script}, devNull, devNull);
    close(devNull);
    return child;
}

long openDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

class RunnerTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "runner-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const char* name) const { return (dir_ / name).string(); }
    /// Shell text that records the shell's pid in `name`, moved into place so that it is never half-written.
    std::string recordPid(const char* name) const {
        return "echo $$ > " + path(name) + ".tmp && mv " + path(name) + ".tmp " + path(name) + "; ";
    }
    pid_t recordedPid(const char* name) const {
        pid_t pid = 0;
        std::ifstream(path(name)) >> pid;
        return pid;
    }

    fs::path dir_;
};

TEST_F(RunnerTest, AnswersOnlyCompleteNonEmptyOutputWithinTheCap) {
    std::string atCap;
    while (atCap.size() < ConnectVerifier::outputCap) {
        atCap += "abcdefg\n";
    }
    EXPECT_EQ(runScript("yes abcdefg | head -c 65536"), atCap);
    EXPECT_EQ(runScript("yes abcdefg | head -c 65537"), std::nullopt);
    EXPECT_EQ(runScript("exit 0"), std::nullopt);
    // Neither the exit status nor standard error has a say.
    EXPECT_EQ(runScript("echo complaint >&2; printf answer; exit 3"), "answer");
}

TEST_F(RunnerTest, FloodingChildIsCutOffAtTheCapWithoutWaitingForTheDeadline) {
    const auto start = Clock::now();
    EXPECT_EQ(runScript("exec yes", "", 10), std::nullopt);
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST_F(RunnerTest, StandardErrorIsDiscardedWithoutBlockingTheChild) {
    EXPECT_EQ(runScript("head -c 1048576 /dev/zero >&2; printf done"), "done");
}

TEST_F(RunnerTest, InputArrivesWholeAndUnchanged) {
    const std::string binary("first line\nno terminator\0\xff\xfe", 27);
    EXPECT_EQ(ConnectVerifier::processRunner("/bin/cat", {}, binary, 5), binary);
    EXPECT_EQ(runScript("exec wc -c", mebibyte), "1048576\n");
}

TEST_F(RunnerTest, ChildThatStopsReadingItsInputNeitherKillsNorHangsTheRun) {
    // SIGPIPE keeps its default disposition in this process, so a stray one would end the test binary.
    EXPECT_EQ(runScript("printf gone", mebibyte), "gone");

    const auto start = Clock::now();
    const auto pid = runScript("echo $$; exec >&-; exec sleep 30", mebibyte);
    ASSERT_TRUE(pid);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_TRUE(gone(std::stoi(*pid)));

    sigset_t blocked;
    sigset_t pending;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&blocked, SIGPIPE));
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST_F(RunnerTest, HangingChildIsStoppedAtTheDeadline) {
    const double timeout = 0.5;
    const auto start = Clock::now();
    EXPECT_EQ(runScript(recordPid("pid") + "printf partial; exec sleep 30", mebibyte, timeout), std::nullopt);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, timeout);
    EXPECT_LT(elapsed, timeout + 2 * reapGraceSeconds + 0.5);
    EXPECT_TRUE(gone(recordedPid("pid")));
}

TEST_F(RunnerTest, ChildIgnoringTerminationIsKilledAfterTheGracePeriod) {
    const auto start = Clock::now();
    const auto pid = runScript("trap '' TERM; echo $$; exec >&-; exec sleep 30");
    const double elapsed = secondsSince(start);
    ASSERT_TRUE(pid) << "the answer was complete before the child was stopped";
    EXPECT_GE(elapsed, reapGraceSeconds - 0.05);
    EXPECT_LT(elapsed, 2 * reapGraceSeconds + 0.5);
    EXPECT_TRUE(gone(std::stoi(*pid)));
}

TEST_F(RunnerTest, UnlaunchableExecutablesYieldNothingAndLeaveTheHandleAlone) {
    std::ofstream(path("plain")) << "#!/bin/sh\necho hi\n";
    for (const auto& executable : {path("missing"), path("plain"), dir_.string()}) {
        ConnectProbeHandle handle;
        EXPECT_EQ(runBounded(executable, {}, "input", 5, &handle), std::nullopt) << executable;
        EXPECT_EQ(handle.adoptAttempts(), 0) << executable;
        EXPECT_FALSE(handle.isCancelled());
    }
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a failed launch left a child behind";
}

TEST_F(RunnerTest, CancelledHandleLaunchesNothing) {
    ConnectProbeHandle handle;
    handle.cancel();
    EXPECT_EQ(runScript("touch " + path("launched") + "; printf answer", "", 5, &handle), std::nullopt);
    EXPECT_FALSE(fs::exists(path("launched")));
    EXPECT_EQ(handle.adoptAttempts(), 0);
}

TEST_F(RunnerTest, CancelFromAnotherThreadStopsTheRunningChild) {
    ConnectProbeHandle handle;
    std::thread canceller([&] {
        EXPECT_TRUE(eventually([&] { return handle.adoptAttempts() == 1 && fs::exists(path("pid")); }));
        handle.cancel();
    });
    const auto start = Clock::now();
    const auto output = runScript("printf partial; " + recordPid("pid") + "exec sleep 30", "", 10, &handle);
    const double elapsed = secondsSince(start);
    canceller.join();

    EXPECT_EQ(output, "partial");
    EXPECT_LT(elapsed, 2.0);
    EXPECT_TRUE(handle.isCancelled());
    EXPECT_TRUE(gone(recordedPid("pid")));
}

TEST_F(RunnerTest, HandleStopsOnlyTheChildItHolds) {
    const auto child = spawnQuiet("exec sleep 30");
    ASSERT_TRUE(child);

    ConnectProbeHandle handle;
    EXPECT_TRUE(handle.adopt(child));
    handle.release();
    handle.cancel();
    EXPECT_TRUE(child->isRunning()) << "a released child was stopped";

    EXPECT_FALSE(handle.adopt(child));
    EXPECT_EQ(handle.adoptAttempts(), 2);
    handle.cancel();
    EXPECT_TRUE(child->isRunning()) << "a refused child was kept";

    ConnectProbeHandle holder;
    EXPECT_TRUE(holder.adopt(child));
    holder.cancel();
    EXPECT_FALSE(child->isRunning());
    EXPECT_TRUE(gone(child->pid()));
}

TEST_F(RunnerTest, WaitForExitLooksOnceOrWakesOnExit) {
    const auto sleeper = spawnQuiet("exec sleep 30");
    const auto quitter = spawnQuiet("exit 0");
    ASSERT_TRUE(sleeper && quitter);

    auto start = Clock::now();
    EXPECT_FALSE(waitForExit(*sleeper, 0));
    EXPECT_LT(secondsSince(start), 0.05);

    ASSERT_TRUE(eventually([&] { return !quitter->isRunning(); }));
    EXPECT_TRUE(waitForExit(*quitter, 0));
    EXPECT_TRUE(gone(quitter->pid()));

    start = Clock::now();
    sleeper->sendSignal(SIGTERM);
    EXPECT_TRUE(waitForExit(*sleeper, 5));
    EXPECT_LT(secondsSince(start), 1.0);
}

TEST_F(RunnerTest, ChildStartsWithDefaultSignalHandlingAndNoBlockedSignals) {
    const auto previousPipe = signal(SIGPIPE, SIG_IGN);
    const auto previousUsr2 = signal(SIGUSR2, SIG_IGN);
    sigset_t usr1;
    sigset_t previousMask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &previousMask);

    const auto status = runScript("exec grep -E '^Sig(Blk|Ign)' /proc/self/status");

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    signal(SIGUSR2, previousUsr2);
    signal(SIGPIPE, previousPipe);
    ASSERT_TRUE(status);
    unsigned long long blocked = ~0ULL;
    unsigned long long ignored = ~0ULL;
    ASSERT_EQ(std::sscanf(status->c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2) << *status;
    EXPECT_EQ(blocked, 0U);
    // Only the classic signals: the C library's spawn leaves its own two real-time signals ignored.
    EXPECT_EQ(ignored & 0x7fffffffULL, 0U) << *status;
}

TEST_F(RunnerTest, RunsLeaveNoDescriptorsOrChildrenBehind) {
    const long before = openDescriptors();
    ConnectProbeHandle cancelled;
    cancelled.cancel();
    ConnectProbeHandle live; // would keep a finished child, and its process descriptor, if not released
    EXPECT_TRUE(runScript("printf ok", mebibyte, 5, &live));
    EXPECT_FALSE(runScript("exec yes"));
    EXPECT_FALSE(runScript("exec sleep 30", mebibyte, 0.05));
    EXPECT_FALSE(runBounded(path("missing"), {}, "", 5));
    EXPECT_FALSE(runScript("printf ok", "", 5, &cancelled));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

} // namespace
