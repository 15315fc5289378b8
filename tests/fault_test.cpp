// Faults from the outside, with real processes and real files: children that misbehave, a session file that
// changes under the reader, and long series of runs and cancels that would show a leak or a race.
#include "app/pairing.h"
#include "app/support.h"
#include "connect/runner.h"
#include "connect/session.h"
#include "connect/verifier.h"
#include "tests/process_checks.h"
#include "tests/temp_dir.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Launching dominates a run's time, under the sanitizers too, so every build runs the full series.
constexpr int boundedRuns = 10000;
constexpr int cancelRaces = 1000;

long entries(const char* folder) {
    return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
}

/// No child of this process left, running or unreaped.
bool noChildren() {
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::string sessionFor(int port, std::size_t size = 0) {
    std::string text = R"({"port":)" + std::to_string(port) + R"(,"pairUrl":"http://127.0.0.1:)" +
                       std::to_string(port) + R"(/pair#token=t"})";
    text.resize(std::max(size, text.size()), ' ');
    return text;
}

class FaultTest : public testing::Test {
  protected:
    const TempDir temp_;
    const std::string dir_ = temp_.path().string();
};
class ChildFaultTest : public FaultTest {};
class SessionFileFaultTest : public FaultTest {};

TEST_F(ChildFaultTest, AGrandchildHoldingTheOutputOpenEndsTheRunAtTheTimeout) {
    // The pids are written whole, by rename, so that they are complete once they exist.
    const std::string script = "sleep 30 & echo $! > " + dir_ + "/g && mv " + dir_ + "/g " + dir_ +
                               "/grandchild; echo $$ > " + dir_ + "/c && mv " + dir_ + "/c " + dir_ +
                               "/child; printf '{}'";
    const auto start = Clock::now();
    EXPECT_EQ(ConnectVerifier::runBounded("/bin/sh", {"-c", script}, "", 0.5), std::nullopt);
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 0.5);
    EXPECT_LT(elapsed, 0.5 + 2 * ConnectVerifier::reapGraceSeconds + 1);
    pid_t child = 0;
    pid_t grandchild = 0;
    std::ifstream(dir_ + "/child") >> child;
    std::ifstream(dir_ + "/grandchild") >> grandchild;
    EXPECT_TRUE(gone(child));
    EXPECT_TRUE(noChildren());
    ASSERT_GT(grandchild, 0);
    // Stopped with its parent's group; once re-parented it is reaped by another process, so give that a
    // moment.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!gone(grandchild) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone(grandchild)) << "a process the child started outlived the run";
    if (!gone(grandchild)) {
        ::kill(grandchild, SIGKILL);
    }
}

TEST_F(ChildFaultTest, AVerifierAnswerFollowedByAnythingButWhitespaceIsNotTheCompanions) {
    const std::string health = R"({"ok":true,"version":"1","protocolVersion":1,"extensionConnected":false})";
    const std::string refusal = R"({"ok":false,"reason":"rejected"})";
    const auto layout = ConnectVerifier::Layout::standard(temp_.path() / "TessalySetup");
    temp_.write("bin/connect-verify.js", "");
    const ConnectDraft draft{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=t")};
    temp_.write("runtime/node", "#!/bin/sh\nexec cat " + dir_ + "/output\n", 0700);
    const std::pair<std::string, ConnectResult<BrokerHealth>> cases[] = {
        {health + "\n\t \n", BrokerHealth{"1", 1, false}},
        {health + " garbage", tl::unexpected(ConnectProblem::wrongService)},
        {health + "\n" + health, tl::unexpected(ConnectProblem::wrongService)},
        {refusal + "}", tl::unexpected(ConnectProblem::wrongService)},
    };
    for (const auto& [output, expected] : cases) {
        temp_.write("output", output);
        EXPECT_EQ(ConnectVerifier::verify(draft, layout), expected) << output;
    }
}

TEST(JsonFaultTest, BytesAfterANulByteAreTrailingBytesLikeAnyOther) {
    const std::string request = R"({"intentId":")" + std::string(43, 'A') +
                                R"(","code":"042917","label":"Work laptop","port":51234,)"
                                R"("fingerprint":"0123456789abcdef"})";
    const struct {
        const char* reader;
        std::function<bool(std::string_view)> accepts;
        std::string valid;
    } readers[] = {
        {"session file", [](auto bytes) { return ConnectSession::parseDraft(bytes).has_value(); },
         sessionFor(5000)},
        {"pairing request", [](auto line) { return PairingApproval::parseRequest(line).has_value(); },
         request},
        {"support file", [](auto bytes) { return SupportLinks::parse(bytes).has_value(); },
         R"({"links":[{},{},{},{},{}]})"},
    };
    const std::string hidden("\0{}", 3);
    for (const auto& r : readers) {
        EXPECT_TRUE(r.accepts(r.valid)) << r.reader;
        EXPECT_FALSE(r.accepts(r.valid + hidden)) << r.reader;
    }
}

TEST_F(SessionFileFaultTest, ALinkAFifoOrAnOversizedFileSwappedInIsRefusedWithoutBlocking) {
    const std::string session = dir_ + "/session.json";
    temp_.write("regular", sessionFor(5000));
    temp_.write("elsewhere", sessionFor(6000)); // what following the link would read
    fs::create_symlink(dir_ + "/elsewhere", dir_ + "/link");
    ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    // Its first maxSessionBytes bytes alone would read as a session for port 7000.
    temp_.write("oversized", sessionFor(7000, ConnectSession::maxSessionBytes + 1));
    // Each kind keeps its own name, so that it can be put back, and a reader stuck on the FIFO released.
    const auto putInPlace = [&](const std::string& name) {
        const std::string staged = dir_ + "/staged";
        // Renaming a name onto another link to the same file leaves both: the staged one must go first.
        ::unlink(staged.c_str());
        return ::linkat(AT_FDCWD, (dir_ + "/" + name).c_str(), AT_FDCWD, staged.c_str(), 0) == 0 &&
               ::rename(staged.c_str(), session.c_str()) == 0;
    };
    ASSERT_TRUE(putInPlace("regular"));

    std::atomic<bool> done = false;
    std::vector<ConnectResult<ConnectDraft>> results;
    std::thread reader([&] {
        for (int i = 0; i < 5000; ++i) {
            results.push_back(ConnectSession::readDraft(session));
        }
        done = true;
    });
    const std::string kinds[] = {"regular", "link", "fifo", "oversized"};
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    bool swapped = true;
    for (std::size_t i = 0; swapped && !done && Clock::now() < giveUp; ++i) {
        swapped = putInPlace(kinds[i % std::size(kinds)]);
    }
    EXPECT_TRUE(swapped);
    if (swapped && !done) {
        ADD_FAILURE() << "a read blocked";
        putInPlace("regular");
        ::close(::open((dir_ + "/fifo").c_str(), O_WRONLY | O_NONBLOCK));
    }
    reader.join();

    const ConnectResult<ConnectDraft> regular = ConnectSession::parseDraft(sessionFor(5000));
    const ConnectResult<ConnectDraft> unsafe = tl::unexpected(ConnectProblem::unsafeFile);
    std::size_t accepted = 0;
    for (const auto& result : results) {
        EXPECT_TRUE(result == regular || result == unsafe) << (result ? result->port : -1);
        accepted += result == regular ? 1 : 0;
    }
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, results.size());
}

TEST_F(SessionFileFaultTest, AFileThatGrowsPastTheLimitIsRefusedByEveryReadThatStartsAfterward) {
    // Exactly at the limit, so that the first byte appended makes it a file the reader must refuse.
    const std::string full = sessionFor(5000, ConnectSession::maxSessionBytes);
    const ConnectResult<ConnectDraft> before = ConnectSession::parseDraft(full);
    const ConnectResult<ConnectDraft> unsafe = tl::unexpected(ConnectProblem::unsafeFile);
    for (int round = 0; round < 100; ++round) {
        const std::string path = temp_.write("session-" + std::to_string(round), full);
        std::atomic<bool> grown = false;
        std::vector<std::pair<bool, ConnectResult<ConnectDraft>>> results;
        std::thread reader([&] {
            for (int afterward = 0; afterward < 3;) {
                const bool started = grown;
                results.emplace_back(started, ConnectSession::readDraft(path));
                afterward += started ? 1 : 0;
            }
        });
        const int file = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        for (int i = 0; i < 64; ++i) {
            EXPECT_EQ(::write(file, " ", 1), 1);
            grown = true;
        }
        ::close(file);
        reader.join();
        for (const auto& [afterGrowth, result] : results) {
            EXPECT_TRUE(result == unsafe || (!afterGrowth && result == before)) << round;
        }
    }
}

TEST(EnduranceFaultTest, ManyRunsInARowLeaveNoDescriptorThreadOrChildBehind) {
    const auto runOnce = [] { return ConnectVerifier::runBounded("/bin/echo", {"ok"}, "input", 5); };
    ASSERT_EQ(runOnce(), "ok\n"); // lets the sanitizers and the C library set up whatever they keep
    const long descriptors = entries("/proc/self/fd");
    const long threads = entries("/proc/self/task");
    int wrong = 0;
    for (int i = 0; i < boundedRuns; ++i) {
        wrong += runOnce() == "ok\n" ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_TRUE(noChildren());
}

TEST(EnduranceFaultTest, CancelsRacingARunEndItAndItsChildWhateverTheMoment) {
    std::thread([] {}).join(); // the thread sanitizer starts a helper thread of its own with the first thread
    const long descriptors = entries("/proc/self/fd");
    const long threads = entries("/proc/self/task");
    for (int i = 0; i < cancelRaces; ++i) {
        ConnectProbeHandle handle;
        // From during the launch to well into the run: a different moment each time.
        const auto cancelAt = Clock::now() + std::chrono::microseconds(i % 50 * 40);
        std::thread canceller([&] {
            while (Clock::now() < cancelAt) {
                std::this_thread::yield();
            }
            handle.cancel();
        });
        const auto start = Clock::now();
        // The child never ends by itself, so every run ends through the cancel.
        const auto output = ConnectVerifier::runBounded("/bin/sleep", {"30"}, "input", 30, &handle);
        const double elapsed = secondsSince(start);
        canceller.join();
        EXPECT_EQ(output, std::nullopt);
        ASSERT_LT(elapsed, 2 * ConnectVerifier::reapGraceSeconds + 1) << "cancel " << i;
    }
    EXPECT_TRUE(noChildren());
    EXPECT_EQ(entries("/proc/self/fd"), descriptors);
    EXPECT_TRUE(eventually([&] { return entries("/proc/self/task") == threads; }));
}

} // namespace
