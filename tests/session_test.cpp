#include "connect/session.h"
#include "tests/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

const std::string valid = R"({"port":5000,"pairUrl":"http://127.0.0.1:5000/pair#token=abc"})";

class SessionFileTest : public ::testing::Test {
  protected:
    std::string write(const std::string& content, unsigned mode = 0600,
                      const std::string& name = "session.json") {
        return dir_.write(name, content, mode);
    }
    std::string session(const std::string& port, const std::string& pairUrl) {
        return write(R"({"port":)" + port + R"(,"pairUrl":")" + pairUrl + R"("})");
    }
    static ConnectResult<ConnectDraft> read(const std::string& path) {
        return ConnectSession::readDraft(path);
    }

    TempDir dir_;
};

const ConnectResult<ConnectDraft> malformed = tl::unexpected(ConnectProblem::malformedSession);
const ConnectResult<ConnectDraft> unsafe = tl::unexpected(ConnectProblem::unsafeFile);

TEST_F(SessionFileTest, WhatIsAtThePathDecidesBeforeTheContent) {
    EXPECT_EQ(read((dir_.path() / "missing.json").string()),
              ConnectResult<ConnectDraft>(tl::unexpected(ConnectProblem::noSession)));
    EXPECT_EQ(read(""), ConnectResult<ConnectDraft>(tl::unexpected(ConnectProblem::noSession)));
    fs::create_directory(dir_.path() / "folder");
    EXPECT_EQ(read((dir_.path() / "folder").string()), unsafe);

    const std::string target = write(valid, 0600, "target.json");
    fs::create_symlink(target, dir_.path() / "link.json");
    EXPECT_TRUE(read(target));
    EXPECT_EQ(read((dir_.path() / "link.json").string()), unsafe);

    ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(read((dir_.path() / "fifo").string()), unsafe); // and returns rather than blocking on the open

    EXPECT_EQ(ConnectSession::readDraft(target, ::getuid() + 1), unsafe);
    EXPECT_EQ(read(write("not json", 0644)), unsafe);
}

TEST_F(SessionFileTest, OnlyOwnerPermissionBitsAreAllowed) {
    for (const unsigned mode : {0600, 0400, 0700}) {
        EXPECT_TRUE(read(write(valid, mode))) << std::oct << mode;
    }
    for (const unsigned mode : {0640, 0604, 0660, 0601, 0610, 0602}) {
        EXPECT_EQ(read(write(valid, mode)), unsafe) << std::oct << mode;
    }
}

TEST_F(SessionFileTest, SizeMustBeOneToMaxBytes) {
    EXPECT_EQ(read(write("")), unsafe);
    const auto padded = [&](std::size_t size) { return valid + std::string(size - valid.size(), ' '); };
    EXPECT_TRUE(read(write(padded(8192))));
    EXPECT_EQ(read(write(padded(8193))), unsafe);
}

TEST_F(SessionFileTest, ContentMustBeAnObjectWithAUsablePort) {
    const std::string url = "http://127.0.0.1:%/pair#token=abc";
    const auto withPort = [&](const std::string& port, const std::string& urlPort) {
        std::string pairUrl = url;
        pairUrl.replace(pairUrl.find('%'), 1, urlPort);
        return read(session(port, pairUrl));
    };
    EXPECT_TRUE(withPort("1024", "1024"));
    EXPECT_TRUE(withPort("65535", "65535"));
    EXPECT_TRUE(withPort("5000.0", "5000"));
    for (const char* port : {"1023", "65536", "\"5000\"", "5000.5", "true", "null", "-5000", "1e400"}) {
        EXPECT_EQ(withPort(port, "5000"), malformed) << port;
    }
    EXPECT_EQ(read(write("[1,2]")), malformed);
    EXPECT_EQ(read(write("not json")), malformed);
    EXPECT_EQ(read(write(R"({"port":5000})")), malformed);
    EXPECT_EQ(read(write(R"({"port":5000,"pairUrl":5})")), malformed);
    EXPECT_EQ(read(write(R"({"pairUrl":"http://127.0.0.1:5000/pair#token=abc"})")), malformed);
    EXPECT_EQ(read(write(R"({"port":5000,"pairUrl":"http://127.0.0.1:5000/pair#token=abc"} trailing)")),
              malformed);
}

TEST_F(SessionFileTest, PairingUrlMustNameThePairingPageOnLoopback) {
    EXPECT_EQ(read(session("5000", "http://127.0.0.1:5000/pair#token=abc")),
              ConnectDraft({5000, boost::urls::url("http://127.0.0.1:5000/pair#token=abc")}));
    EXPECT_TRUE(read(session("5000", "http://127.0.0.1:5000/pair#token=")));
    EXPECT_TRUE(read(session("5000", "http://127.0.0.1:5000/pair#token=abc&more=1")));
    for (const char* url : {
             "https://127.0.0.1:5000/pair#token=abc",
             "HTTP://127.0.0.1:5000/pair#token=abc",
             "http://localhost:5000/pair#token=abc",
             "http://user@127.0.0.1:5000/pair#token=abc",
             "http://@127.0.0.1:5000/pair#token=abc",
             "http://127.0.0.1:5001/pair#token=abc",
             "http://127.0.0.1/pair#token=abc",
             "http://127.0.0.1:/pair#token=abc",
             "http://127.0.0.1:5000/pair/more#token=abc",
             "http://127.0.0.1:5000/pair?x=1#token=abc",
             "http://127.0.0.1:5000/pair?#token=abc",
             "http://127.0.0.1:5000/pair",
             "http://127.0.0.1:5000/pair#tok=abc",
             "http://127.0.0.1:5000/pair#x=1&token=abc",
             "/pair#token=abc",
             "http://127.0.0.1:5000/pair#token=a b",
             "not a url",
         }) {
        EXPECT_EQ(read(session("5000", url)), malformed) << url;
    }
}

TEST(SessionTokenTest, FindsTheFirstUsableTokenPiece) {
    const auto token = [](const char* url) { return ConnectSession::token(boost::urls::url(url)); };
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#token=abc"), "abc");
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#&&a=1&token=abc"), "abc");
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#token=&token=later"), "later");
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#token=a=b"), "a=b");
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#token=%0Abad&token=good"), "good");
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#Token=abc"), std::nullopt);
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#token="), std::nullopt);
    EXPECT_EQ(token("http://127.0.0.1:5000/pair#&&"), std::nullopt);
    EXPECT_EQ(token("http://127.0.0.1:5000/pair"), std::nullopt);
}

TEST(SessionPathTest, FirstSessionArgumentWinsElseTheDefault) {
    const fs::path home = "/home/someone";
    const fs::path standard = "/home/someone/.tessaly-mcp/session.json";
    using ConfigurationBundle::sessionPath;
    EXPECT_EQ(sessionPath({"prog", "--connect"}, home), standard);
    EXPECT_EQ(sessionPath({"prog", "--connect", "--session"}, home), standard);
    EXPECT_EQ(sessionPath({"prog", "--session", "a.json", "--session", "b.json"}, home), "a.json");
    EXPECT_EQ(sessionPath({"prog", "--connect", "--session", "--check"}, home), "--check");
    EXPECT_EQ(sessionPath({}, home), standard);
}

} // namespace
