#include "connect/verifier.h"
#include "tests/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;

const ConnectDraft draft{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=secret")};

ConnectResult<BrokerHealth> problem(ConnectProblem p) {
    return tl::unexpected(p);
}

// What this machine's tables hold has no say in these tests.
const PortOwners::TableReader noTables = [] { return std::vector<std::string>(); };

ConnectResult<BrokerHealth> verifyAnswering(std::optional<std::string> output) {
    return ConnectVerifier::verify(
        draft, {"node", "verify.js"}, 8.0, nullptr, [&](auto&&...) { return output; }, noTables);
}

TEST(VerifierTest, AcceptsOnlyCompleteHealthReportsAndMapsRefusals) {
    EXPECT_EQ(
        verifyAnswering(R"({"ok":true,"version":"1 \"b\"","protocolVersion":2,"extensionConnected":false,)"
                        R"("x":1})"
                        "\n\t \n"),
        BrokerHealth({"1 \"b\"", 2, false}));
    EXPECT_EQ(verifyAnswering(R"({"ok":true,"version":"v","protocolVersion":2.0,"extensionConnected":true})"),
              BrokerHealth({"v", 2, true}));
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
    const std::string health = R"({"ok":true,"version":"v","protocolVersion":2,"extensionConnected":false})";
    const auto with = [&](const std::string& part, const std::string& instead) {
        return std::string(health).replace(health.find(part), part.size(), instead);
    };
    for (const std::string& answer :
         {R"({"ok":false,"reason":1})"s, R"({"ok":false})"s, R"({"ok":"false","reason":"rejected"})"s,
          R"({"reason":"rejected"})"s, R"({"ok":true,"reason":"rejected"})"s,
          R"([{"ok":false,"reason":"rejected"}])"s, R"({"ok":false,"reason":"rejected"}})"s,
          "HTTP/1.1 200 OK"s, "\xff"s}) {
        EXPECT_EQ(verifyAnswering(answer), problem(ConnectProblem::wrongService)) << answer;
    }
    for (const std::string& answer :
         {with(R"("ok":true,)", ""), with("true", "1"), with(R"("v")", R"("")"), with(R"("v")", "3"),
          with(":2,", ":2.5,"), with(":2,", R"(:"2",)"), with(":2,", ":9223372036854775808,"),
          with("false", "0"), with(R"(,"extensionConnected":false)", ""), "[" + health + "]",
          health + " garbage", health + "\n" + health}) {
        EXPECT_EQ(verifyAnswering(answer), problem(ConnectProblem::wrongService)) << answer;
    }
}

// The token goes to no script when the session has none, nor when another user listens at the port.
TEST(VerifierTest, TheScriptRunsOnlyWithATokenAndWithNoOtherUsersListener) {
    const std::string health = R"({"ok":true,"version":"v","protocolVersion":2,"extensionConnected":false})";
    const auto listenerOf = [](std::uint32_t uid) {
        return "sl local rem st\n 0: 00000000:1388 00000000:0000 0A 0:0 0:0 0 " + std::to_string(uid) +
               " 0 1\n";
    };
    const ConnectDraft noToken{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=")};
    const std::tuple<ConnectDraft, std::vector<std::string>, ConnectResult<BrokerHealth>> cases[] = {
        {noToken, {}, problem(ConnectProblem::malformedSession)},
        {draft, {listenerOf(::getuid() + 1)}, problem(ConnectProblem::wrongService)},
        {draft, {listenerOf(::getuid())}, BrokerHealth{"v", 2, false}},
    };
    for (const auto& [given, tables, result] : cases) {
        bool ran = false;
        const auto runner = [&](auto&&...) {
            ran = true;
            return std::optional(health);
        };
        const auto read = [copy = tables] { return copy; };
        EXPECT_EQ(ConnectVerifier::verify(given, {"node", "verify.js"}, 8.0, nullptr, runner, read), result);
        EXPECT_EQ(ran, result.has_value());
    }
}

// The real runner, a shell script standing in for the runtime; what the script is given is read end to end.
TEST(InstalledVerifierTest, ChecksTheInstallationBeforeRunningAnything) {
    const TempDir dir;
    const auto installed = ConnectVerifier::Layout::standard(dir.path() / "TessalySetup");
    const std::string healthy = "#!/bin/sh\necho '{\"ok\":true,\"version\":\"9\",\"protocolVersion\":3,"
                                "\"extensionConnected\":false}'\n";
    dir.write("runtime/node", healthy, 0700);
    EXPECT_EQ(ConnectVerifier::verify(draft, installed), problem(ConnectProblem::verifierUnavailable));
    dir.write("bin/connect-verify.js", "the runtime above is a shell script\n");
    dir.write("runtime/node", healthy, 0600);
    EXPECT_EQ(ConnectVerifier::verify(draft, installed), problem(ConnectProblem::verifierUnavailable));
    dir.write("runtime/node", healthy, 0700);
    EXPECT_EQ(ConnectVerifier::verify(draft, installed, 8.0, nullptr, {}, noTables),
              BrokerHealth({"9", 3, false}));

    ConnectProbeHandle handle;
    handle.cancel();
    EXPECT_EQ(ConnectVerifier::verify(draft, installed, 8.0, &handle), problem(ConnectProblem::cancelled));
    EXPECT_EQ(handle.adoptAttempts(), 0);
}

} // namespace
