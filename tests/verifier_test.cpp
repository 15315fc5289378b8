#include "connect/session.h"
#include "connect/verifier.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(HealthReportTest, AcceptsOnlyCompleteSuccessfulReports) {
    using ConnectSession::parseHealth;
    EXPECT_EQ(
        parseHealth(
            R"({"ok":true,"version":"1.2 \"beta\"","protocolVersion":2,"extensionConnected":false,"x":[]})"),
        BrokerHealth({"1.2 \"beta\"", 2, false}));
    EXPECT_EQ(parseHealth(R"({"ok":true,"version":"v","protocolVersion":2.0,"extensionConnected":true})"),
              BrokerHealth({"v", 2, true}));
    EXPECT_EQ(
        parseHealth(
            R"({"ok":true,"version":"v","protocolVersion":-9223372036854775808,"extensionConnected":true})"),
        BrokerHealth({"v", INT64_MIN, true}));
    for (const char* report : {
             R"({"ok":false,"version":"v","protocolVersion":2,"extensionConnected":false})",
             R"({"version":"v","protocolVersion":2,"extensionConnected":false})",
             R"({"ok":1,"version":"v","protocolVersion":2,"extensionConnected":false})",
             R"({"ok":true,"version":"","protocolVersion":2,"extensionConnected":false})",
             R"({"ok":true,"version":3,"protocolVersion":2,"extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":2.5,"extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":"2","extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":9223372036854775808,"extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":1e300,"extensionConnected":false})",
             R"({"ok":true,"version":"v","extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":2,"extensionConnected":0})",
             R"({"ok":true,"version":"v","protocolVersion":2})",
             R"([{"ok":true,"version":"v","protocolVersion":2,"extensionConnected":false}])",
             R"("ok")",
             "",
             "{",
             "\xff",
             R"({"ok":true,"version":"v","protocolVersion":2,"extensionConnected":false}{})",
         }) {
        EXPECT_EQ(parseHealth(report), std::nullopt) << report;
    }
}

const ConnectDraft draft{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=secret")};
const ConnectVerifier::Layout layout{"/nonexistent/runtime/node", "/nonexistent/bin/connect-verify.js"};

ConnectVerifier::Runner answering(std::optional<std::string> output) {
    return [output](const std::string&, const std::vector<std::string>&, const std::string&, double) {
        return output;
    };
}

ConnectResult<BrokerHealth> verifyAnswering(std::optional<std::string> output) {
    return ConnectVerifier::verify(draft, layout, 8.0, nullptr, answering(std::move(output)));
}

ConnectResult<BrokerHealth> problem(ConnectProblem p) {
    return tl::unexpected(p);
}

TEST(VerifierTest, PassesPortOnTheCommandLineAndTokenOnInput) {
    std::vector<std::string> seen;
    std::string input;
    double timeout = 0;
    const auto runner = [&](const std::string& path, const std::vector<std::string>& args,
                            const std::string& in, double seconds) -> std::optional<std::string> {
        seen = args;
        seen.insert(seen.begin(), path);
        input = in;
        timeout = seconds;
        return std::nullopt;
    };
    EXPECT_EQ(ConnectVerifier::verify(draft, layout, 8.0, nullptr, runner),
              problem(ConnectProblem::brokerUnreachable));
    EXPECT_EQ(seen, (std::vector<std::string>{layout.nodePath, layout.adapterPath, "--port", "5000"}));
    EXPECT_EQ(input, "secret");
    EXPECT_EQ(timeout, 8.0);
}

TEST(VerifierTest, AnswerTable) {
    EXPECT_EQ(verifyAnswering(R"({"ok":true,"version":"1","protocolVersion":1,"extensionConnected":true})"),
              BrokerHealth({"1", 1, true}));
    EXPECT_EQ(verifyAnswering(R"({"ok":false,"reason":"rejected"})"),
              problem(ConnectProblem::tokenNotCurrent));
    EXPECT_EQ(verifyAnswering(R"({"ok":false,"reason":"timeout"})"),
              problem(ConnectProblem::tokenNotCurrent));
    EXPECT_EQ(verifyAnswering(R"({"ok":false,"reason":"no_token"})"),
              problem(ConnectProblem::malformedSession));
    EXPECT_EQ(verifyAnswering(R"({"ok":false,"reason":"bad_port"})"),
              problem(ConnectProblem::malformedSession));
    for (const char* answer : {
             R"({"ok":false,"reason":"Rejected"})",
             R"({"ok":false,"reason":"other"})",
             R"({"ok":false,"reason":1})",
             R"({"ok":false})",
             R"({"ok":"false","reason":"rejected"})",
             R"({"reason":"rejected"})",
             R"({"ok":true})",
             R"({"ok":true,"reason":"rejected"})",
             R"([{"ok":false,"reason":"rejected"}])",
             "HTTP/1.1 200 OK",
         }) {
        EXPECT_EQ(verifyAnswering(answer), problem(ConnectProblem::wrongService)) << answer;
    }
    EXPECT_EQ(verifyAnswering(std::nullopt), problem(ConnectProblem::brokerUnreachable));
}

TEST(VerifierTest, NoTokenStartsNothing) {
    bool ran = false;
    const auto runner = [&](const std::string&, const std::vector<std::string>&, const std::string&, double) {
        ran = true;
        return std::optional<std::string>("{}");
    };
    const ConnectDraft empty{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=")};
    EXPECT_EQ(ConnectVerifier::verify(empty, layout, 8.0, nullptr, runner),
              problem(ConnectProblem::malformedSession));
    EXPECT_FALSE(ran);
}

TEST(VerifierTest, StandardLayoutSitsBesideTheBundle) {
    const ConnectVerifier::Layout expected{"/opt/t/runtime/node", "/opt/t/bin/connect-verify.js"};
    EXPECT_EQ(ConnectVerifier::Layout::standard("/opt/t/TessalySetup"), expected);
    EXPECT_EQ(ConnectVerifier::Layout::standard("/opt/t/TessalySetup/"), expected);
}

// The real runner, with scripts standing in for the runtime.
class InstalledVerifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessaly-verifier-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "runtime");
        fs::create_directories(dir_ / "bin");
        std::ofstream(dir_ / "bin" / "connect-verify.js") << "unused: the runtime below is a shell script\n";
        layout_ = ConnectVerifier::Layout::standard(dir_ / "TessalySetup");
    }
    void TearDown() override { fs::remove_all(dir_); }

    void runtime(const std::string& script, fs::perms perms = fs::perms::owner_all) {
        std::ofstream(layout_.nodePath, std::ios::trunc) << "#!/bin/sh\n" << script << "\n";
        fs::permissions(layout_.nodePath, perms);
    }

    fs::path dir_;
    ConnectVerifier::Layout layout_;
};

TEST_F(InstalledVerifierTest, MissingOrNonExecutablePiecesAreUnavailable) {
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_), problem(ConnectProblem::verifierUnavailable));
    runtime("echo '{}'", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_), problem(ConnectProblem::verifierUnavailable));
    runtime("echo '{}'");
    fs::remove(layout_.adapterPath);
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_), problem(ConnectProblem::verifierUnavailable));
}

TEST_F(InstalledVerifierTest, ScriptAnswerIsReadWhateverItsExitStatus) {
    // The script checks its own invocation, so a wrong argument list or input shows as a refusal.
    runtime(R"(read -r token || true
[ "$2 $3 $token" = "--port 5000 secret" ] || { echo '{"ok":false,"reason":"bad_port"}'; exit 0; }
echo '{"ok":true,"version":"9","protocolVersion":3,"extensionConnected":false}'
exit 7)");
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_), BrokerHealth({"9", 3, false}));
}

TEST_F(InstalledVerifierTest, CancelledHandleIsCancelledNotUnreachable) {
    runtime("echo '{}'");
    ConnectProbeHandle handle;
    handle.cancel();
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_, 8.0, &handle), problem(ConnectProblem::cancelled));
    EXPECT_EQ(handle.adoptAttempts(), 0);
}

TEST_F(InstalledVerifierTest, SilentOrSlowScriptIsUnreachable) {
    runtime("exit 0");
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_), problem(ConnectProblem::brokerUnreachable));
    runtime("exec sleep 5");
    EXPECT_EQ(ConnectVerifier::verify(draft, layout_, 0.2), problem(ConnectProblem::brokerUnreachable));
}

} // namespace
