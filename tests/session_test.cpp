#include "connect/session.h"
#include "tests/temp_dir.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string valid = R"({"port":5000,"pairUrl":"http://127.0.0.1:5000/pair#token=abc"})";
const ConnectResult<ConnectDraft> malformed = tl::unexpected(ConnectProblem::malformedSession);
const ConnectResult<ConnectDraft> unsafe = tl::unexpected(ConnectProblem::unsafeFile);

ConnectResult<ConnectDraft> parse(const std::string& port, const std::string& pairUrl) {
    return ConnectSession::parseDraft(R"({"port":)" + port + R"(,"pairUrl":")" + pairUrl + R"("})");
}

TEST(SessionFileTest, WhatIsAtThePathDecidesBeforeTheContent) {
    const TempDir dir;
    const auto read = [](const fs::path& path) { return ConnectSession::readDraft(path.string()); };
    EXPECT_EQ(read(""), ConnectResult<ConnectDraft>(tl::unexpected(ConnectProblem::noSession)));
    EXPECT_EQ(read(dir.path()), unsafe);
    const std::string target = dir.write("target.json", valid);
    fs::create_symlink(target, dir.path() / "link.json");
    EXPECT_EQ(read(target), ConnectSession::parseDraft(valid));
    EXPECT_EQ(read(dir.path() / "link.json"), unsafe);
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(read(dir.path() / "fifo"), unsafe); // and returns rather than blocking on the open
    EXPECT_EQ(ConnectSession::readDraft(target, ::getuid() + 1), unsafe);
    EXPECT_EQ(read(dir.write("not-json", "not json", 0644)), unsafe);

    for (const unsigned mode : {0600, 0400, 0700}) {
        EXPECT_TRUE(read(dir.write("session.json", valid, mode))) << std::oct << mode;
    }
    for (const unsigned mode : {0640, 0604, 0660, 0601, 0610, 0602}) {
        EXPECT_EQ(read(dir.write("session.json", valid, mode)), unsafe) << std::oct << mode;
    }
    EXPECT_EQ(read(dir.write("session.json", "")), unsafe);
    const auto padded = [&](std::size_t size) { return valid + std::string(size - valid.size(), ' '); };
    EXPECT_TRUE(read(dir.write("session.json", padded(ConnectSession::maxSessionBytes))));
    EXPECT_EQ(read(dir.write("session.json", padded(ConnectSession::maxSessionBytes + 1))), unsafe);
}

TEST(SessionFileTest, ContentMustBeAnObjectWithAUsablePort) {
    EXPECT_TRUE(parse("1024", "http://127.0.0.1:1024/pair#token=abc"));
    EXPECT_TRUE(parse("65535", "http://127.0.0.1:65535/pair#token=abc"));
    EXPECT_TRUE(parse("5000.0", "http://127.0.0.1:5000/pair#token=abc"));
    for (const char* port : {"1023", "65536", "\"5000\"", "5000.5", "true", "null", "-5000", "1e400"}) {
        EXPECT_EQ(parse(port, "http://127.0.0.1:5000/pair#token=abc"), malformed) << port;
    }
    // A NUL byte would stop the parser.
    for (const std::string& text :
         {"[1,2]"s, "not json"s, R"({"port":5000})"s, R"({"port":5000,"pairUrl":5})"s,
          R"({"pairUrl":"http://127.0.0.1:5000/pair#token=abc"})"s, valid + " trailing", valid + "\0{}"s}) {
        EXPECT_EQ(ConnectSession::parseDraft(text), malformed) << text;
    }
}

TEST(SessionFileTest, PairingUrlMustNameThePairingPageOnLoopback) {
    EXPECT_EQ(ConnectSession::parseDraft(valid),
              ConnectDraft({5000, boost::urls::url("http://127.0.0.1:5000/pair#token=abc")}));
    const std::string page = "http://127.0.0.1:5000/pair";
    for (const char* fragment : {"#token=", "#token=abc&more=1", "#token=abc%26def"}) {
        EXPECT_TRUE(parse("5000", page + fragment)) << fragment;
    }
    for (const char* url :
         {"https://127.0.0.1:5000/pair#token=abc", "HTTP://127.0.0.1:5000/pair#token=abc",
          "http://localhost:5000/pair#token=abc", "http://user@127.0.0.1:5000/pair#token=abc",
          "http://@127.0.0.1:5000/pair#token=abc", "http://127.0.0.1:5001/pair#token=abc",
          "http://127.0.0.1/pair#token=abc", "http://127.0.0.1:/pair#token=abc", "/pair#token=abc",
          "not a url"}) {
        EXPECT_EQ(parse("5000", url), malformed) << url;
    }
    // The token's key as written, not as decoded: the companion's page would find no token in the last three.
    for (const char* rest :
         {"/more#token=abc", "?x=1#token=abc", "?#token=abc", "", "#tok=abc", "#x=1&token=abc", "#token=a b",
          "#tok%65n=abc", "#%74oken=abc", "#token%3Dabc"}) {
        EXPECT_EQ(parse("5000", page + rest), malformed) << rest;
    }
}

// Faults from the outside: files swapped in between the reader's checks and its read.
TEST(SessionFileFaultTest, ALinkAFifoOrAnOversizedFileSwappedInIsRefusedWithoutBlocking) {
    const TempDir temp;
    const std::string dir = temp.path().string(), session = dir + "/session.json";
    temp.write("regular", valid);
    temp.write("elsewhere", R"({"port":6000,"pairUrl":"http://127.0.0.1:6000/pair#token=abc"})");
    fs::create_symlink(dir + "/elsewhere", dir + "/link"); // following it would read a session for port 6000
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    // Its first maxSessionBytes bytes alone would read as a session for port 7000.
    temp.write("oversized", R"({"port":7000,"pairUrl":"http://127.0.0.1:7000/pair#token=abc"})" +
                                std::string(ConnectSession::maxSessionBytes, ' '));
    // Each kind keeps its own name, so that it can be put back, and a reader stuck on the FIFO released.
    const auto putInPlace = [&](const std::string& name) {
        const std::string staged = dir + "/staged";
        // Renaming a name onto another link to the same file leaves both: the staged one must go first.
        ::unlink(staged.c_str());
        return ::linkat(AT_FDCWD, (dir + "/" + name).c_str(), AT_FDCWD, staged.c_str(), 0) == 0 &&
               ::rename(staged.c_str(), session.c_str()) == 0;
    };
    ASSERT_TRUE(putInPlace("regular"));

    std::atomic<bool> done = false;
    std::atomic<int> swaps = 0;
    std::atomic<bool> swapping = true;
    std::vector<ConnectResult<ConnectDraft>> results;
    // Reads go on until the swaps have had their chance too: on a busy machine either side may run alone a
    // while.
    std::thread reader([&] {
        while (results.size() < 5000 || (swaps < 1000 && swapping)) {
            results.push_back(ConnectSession::readDraft(session));
        }
        done = true;
    });
    const std::string kinds[] = {"regular", "link", "fifo", "oversized"};
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool swapped = true;
    for (std::size_t i = 0; swapped && !done && std::chrono::steady_clock::now() < giveUp; ++i) {
        swapped = putInPlace(kinds[i % std::size(kinds)]);
        ++swaps;
    }
    swapping = false;
    EXPECT_TRUE(swapped);
    if (swapped && !done) {
        ADD_FAILURE() << "a read blocked";
        putInPlace("regular");
        ::close(::open((dir + "/fifo").c_str(), O_WRONLY | O_NONBLOCK));
    }
    reader.join();

    const ConnectResult<ConnectDraft> regular = ConnectSession::parseDraft(valid);
    std::size_t accepted = 0;
    for (const auto& result : results) {
        EXPECT_TRUE(result == regular || result == unsafe) << (result ? result->port : -1);
        accepted += result == regular ? 1 : 0;
    }
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, results.size());
}

TEST(SessionFileFaultTest, AFileThatGrowsPastTheLimitIsRefusedByEveryReadThatStartsAfterward) {
    const TempDir temp;
    // Exactly at the limit, so that the first byte appended makes it a file the reader must refuse.
    const std::string full = valid + std::string(ConnectSession::maxSessionBytes - valid.size(), ' ');
    const ConnectResult<ConnectDraft> before = ConnectSession::parseDraft(full);
    ASSERT_TRUE(before.has_value());
    for (int round = 0; round < 100; ++round) {
        const std::string path = temp.write("session-" + std::to_string(round), full);
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

TEST(SessionTokenTest, FindsTheFirstUsableTokenPieceAsTheUrlCarriesIt) {
    const auto token = [](const char* fragment) {
        return ConnectSession::token(boost::urls::url(std::string("http://127.0.0.1:5000/pair") + fragment));
    };
    // Escapes stay as written, as the companion's page reads them: no cut, NUL or line feed made of one.
    const std::pair<const char*, const char*> found[] = {
        {"#token=abc", "abc"},       {"#&&a=1&token=abc", "abc"},       {"#token=&token=later", "later"},
        {"#token=a=b", "a=b"},       {"#token=%2Btoken", "%2Btoken"},   {"#token=abc%26def", "abc%26def"},
        {"#token=abc%00", "abc%00"}, {"#token=abc%3Ddef", "abc%3Ddef"}, {"#token=%0A&token=good", "%0A"},
    };
    for (const auto& [fragment, expected] : found) {
        EXPECT_EQ(token(fragment), expected) << fragment;
    }
    for (const char* fragment :
         {"#tok%65n=abc", "#%74oken=abc&token=", "#token%3Dabc", "#Token=abc", "#&&", "#", ""}) {
        EXPECT_EQ(token(fragment), std::nullopt) << fragment;
    }
}

TEST(SessionPathTest, FirstSessionArgumentWinsElseTheDefault) {
    const fs::path home = "/home/someone", standard = "/home/someone/.tessaly-mcp/session.json";
    using ConfigurationBundle::sessionPath;
    EXPECT_EQ(sessionPath({"prog", "--connect"}, home), standard);
    EXPECT_EQ(sessionPath({"prog", "--connect", "--session"}, home), standard);
    EXPECT_EQ(sessionPath({"prog", "--session", "a.json", "--session", "b.json"}, home), "a.json");
    EXPECT_EQ(sessionPath({"prog", "--connect", "--session", "--check"}, home), "--check");
}

} // namespace
