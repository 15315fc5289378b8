#include "connect/session.h"
#include "connect/verifier.h"
#include "tests/temp_dir.h"

#include <gtest/gtest.h>

namespace {

TEST(HealthReportTest, AcceptsOnlyCompleteSuccessfulReports) {
    using ConnectSession::parseHealth;
    EXPECT_EQ(parseHealth(
                  R"({"ok":true,"version":"1 \"b\"","protocolVersion":2,"extensionConnected":false,"x":1})"),
              BrokerHealth({"1 \"b\"", 2, false}));
    EXPECT_EQ(parseHealth(R"({"ok":true,"version":"v","protocolVersion":2.0,"extensionConnected":true})"),
              BrokerHealth({"v", 2, true}));
    for (const char* report : {
             R"({"ok":false,"version":"v","protocolVersion":2,"extensionConnected":false})",
             R"({"version":"v","protocolVersion":2,"extensionConnected":false})",
             R"({"ok":1,"version":"v","protocolVersion":2,"extensionConnected":false})",
             R"({"ok":true,"version":"","protocolVersion":2,"extensionConnected":false})",
             R"({"ok":true,"version":3,"protocolVersion":2,"extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":2.5,"extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":"2","extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":9223372036854775808,"extensionConnected":false})",
             R"({"ok":true,"version":"v","protocolVersion":2,"extensionConnected":0})",
             R"({"ok":true,"version":"v","protocolVersion":2})",
             R"([{"ok":true,"version":"v","protocolVersion":2,"extensionConnected":false}])",
             R"({"ok":true,"version":"v","protocolVersion":2,"extensionConnected":false}{})",
             R"("ok")",
             "",
             "\xff",
         }) {
        EXPECT_EQ(parseHealth(report), std::nullopt) << report;
    }
}

const ConnectDraft draft{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=secret")};
const ConnectVerifier::Layout layout{"/nonexistent/runtime/node", "/nonexistent/bin/connect-verify.js"};

ConnectResult<BrokerHealth> problem(ConnectProblem p) {
    return tl::unexpected(p);
}

ConnectResult<BrokerHealth> verifyAnswering(std::optional<std::string> output) {
    return ConnectVerifier::verify(draft, layout, 8.0, nullptr,
                                   [output](const std::string&, const std::vector<std::string>&,
                                            const std::string&, double) { return output; });
}

TEST(VerifierTest, PassesPortOnTheCommandLineAndTokenOnInput) {
    std::vector<std::string> seen;
    const auto runner = [&](const std::string& path, const std::vector<std::string>& args,
                            const std::string& input, double timeout) -> std::optional<std::string> {
        seen = {path};
        seen.insert(seen.end(), args.begin(), args.end());
        seen.insert(seen.end(), {input, std::to_string(timeout)});
        return std::nullopt;
    };
    EXPECT_EQ(ConnectVerifier::verify(draft, layout, 8.0, nullptr, runner),
              problem(ConnectProblem::brokerUnreachable));
    EXPECT_EQ(seen, (std::vector<std::string>{layout.nodePath, layout.adapterPath, "--port", "5000", "secret",
                                              std::to_string(8.0)}));

    seen.clear();
    const ConnectDraft noToken{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=")};
    EXPECT_EQ(ConnectVerifier::verify(noToken, layout, 8.0, nullptr, runner),
              problem(ConnectProblem::malformedSession));
    EXPECT_TRUE(seen.empty());
}

TEST(VerifierTest, AnswerTable) {
    EXPECT_EQ(verifyAnswering(R"({"ok":true,"version":"1","protocolVersion":1,"extensionConnected":true})"),
              BrokerHealth({"1", 1, true}));
    EXPECT_EQ(verifyAnswering(std::nullopt), problem(ConnectProblem::brokerUnreachable));
    const std::pair<const char*, ConnectProblem> refusals[] = {
        {"rejected", ConnectProblem::tokenNotCurrent},  {"timeout", ConnectProblem::tokenNotCurrent},
        {"no_token", ConnectProblem::malformedSession}, {"bad_port", ConnectProblem::malformedSession},
        {"Rejected", ConnectProblem::wrongService},     {"other", ConnectProblem::wrongService},
    };
    for (const auto& [reason, expected] : refusals) {
        EXPECT_EQ(verifyAnswering(std::string(R"({"ok":false,"reason":")") + reason + "\"}"),
                  problem(expected))
            << reason;
    }
    for (const char* answer :
         {R"({"ok":false,"reason":1})", R"({"ok":false})", R"({"ok":"false","reason":"rejected"})",
          R"({"reason":"rejected"})", R"({"ok":true,"reason":"rejected"})",
          R"([{"ok":false,"reason":"rejected"}])", "HTTP/1.1 200 OK"}) {
        EXPECT_EQ(verifyAnswering(answer), problem(ConnectProblem::wrongService)) << answer;
    }
}

TEST(VerifierTest, StandardLayoutSitsBesideTheBundle) {
    const ConnectVerifier::Layout expected{"/opt/t/runtime/node", "/opt/t/bin/connect-verify.js"};
    EXPECT_EQ(ConnectVerifier::Layout::standard("/opt/t/TessalySetup"), expected);
    EXPECT_EQ(ConnectVerifier::Layout::standard("/opt/t/TessalySetup/"), expected);
}

// The real runner, with a shell script standing in for the runtime.
TEST(InstalledVerifierTest, ChecksTheInstallationThenRunsTheScript) {
    const TempDir dir;
    const auto installed = ConnectVerifier::Layout::standard(dir.path() / "TessalySetup");
    const auto runtime = [&](const std::string& script, unsigned mode = 0700) {
        dir.write("runtime/node", "#!/bin/sh\n" + script + "\n", mode);
    };

    EXPECT_EQ(ConnectVerifier::verify(draft, installed), problem(ConnectProblem::verifierUnavailable));
    runtime("echo '{}'");
    EXPECT_EQ(ConnectVerifier::verify(draft, installed), problem(ConnectProblem::verifierUnavailable));
    dir.write("bin/connect-verify.js", "the runtime above is a shell script\n");
    runtime("echo '{}'", 0600);
    EXPECT_EQ(ConnectVerifier::verify(draft, installed), problem(ConnectProblem::verifierUnavailable));

    // The script checks its own invocation, so a wrong argument list or input shows as a refusal; its
    // failing exit status does not count.
    runtime(R"(read -r token || true
[ "$2 $3 $token" = "--port 5000 secret" ] || { echo '{"ok":false,"reason":"bad_port"}'; exit 0; }
echo '{"ok":true,"version":"9","protocolVersion":3,"extensionConnected":false}'; exit 7)");
    EXPECT_EQ(ConnectVerifier::verify(draft, installed), BrokerHealth({"9", 3, false}));

    ConnectProbeHandle handle;
    handle.cancel();
    EXPECT_EQ(ConnectVerifier::verify(draft, installed, 8.0, &handle), problem(ConnectProblem::cancelled));
    EXPECT_EQ(handle.adoptAttempts(), 0);

    runtime("exec sleep 5");
    EXPECT_EQ(ConnectVerifier::verify(draft, installed, 0.2), problem(ConnectProblem::brokerUnreachable));
}

} // namespace
