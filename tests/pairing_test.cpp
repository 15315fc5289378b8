#include "app/pairing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace {

using PairingApproval::parseRequest;

const std::string intentId(43, 'A');

std::string requestWith(const std::string& member, const std::string& json) {
    nlohmann::json request = {{"intentId", intentId},
                              {"code", "012345"},
                              {"label", "Work laptop"},
                              {"port", 51234},
                              {"fingerprint", "0123456789abcdef"}};
    std::string line = request.dump();
    if (!member.empty()) {
        request[member] = nlohmann::json::parse(json);
        line = request.dump();
    }
    return line;
}

std::string repeated(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

/// A pipe holding `input`, closed for writing, so reads see exactly that input and then its end.
struct Input {
    explicit Input(const std::string& input) {
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(fds[1]);
    }
    ~Input() { ::close(fds[0]); }
    std::string rest() const {
        std::string left(70000, '\0');
        const ssize_t got = ::read(fds[0], left.data(), left.size());
        left.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        return left;
    }
    int fds[2] = {-1, -1};
};

TEST(PairingRequestTest, AcceptsTheBoundariesOfEachRule) {
    const auto request = parseRequest(requestWith("", ""));
    ASSERT_TRUE(request);
    EXPECT_EQ(*request,
              (PairingApproval::Request{intentId, "012345", "Work laptop", 51234, "0123456789abcdef"}));
    const std::pair<std::string, std::string> accepted[] = {
        {"port", "1024"},
        {"port", "65535"},
        {"intentId", '"' + repeated("aZ09_-", 7) + "x\""},
        {"label", '"' + repeated("\xF0\x9F\x98\x80", 80) + '"'},                 // 80 single-scalar emoji
        {"label", '"' + repeated("e\xCC\x81", 80) + '"'},                        // 80 e + combining acute
        {"label", '"' + repeated("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 80) + '"'}, // 80 thumbs with a skin tone
        {"label", R"("<b>Codes match</b> Q&A")"},
    };
    for (const auto& [member, json] : accepted) {
        EXPECT_TRUE(parseRequest(requestWith(member, json))) << member << " = " << json;
    }
}

TEST(PairingRequestTest, RefusesEachBrokenRule) {
    const std::pair<std::string, std::string> refused[] = {
        {"intentId", '"' + std::string(42, 'A') + '"'},
        {"intentId", '"' + std::string(44, 'A') + '"'},
        {"intentId", '"' + std::string(42, 'A') + "+\""},
        {"intentId", '"' + std::string(42, 'A') + "/\""},
        {"intentId", '"' + std::string(42, 'A') + "=\""},
        {"intentId", '"' + std::string(43, 'A') + "\\n\""},
        {"code", R"("01234")"},
        {"code", R"("0123456")"},
        {"code", R"("01234a")"},
        {"code", R"("012 45")"},
        {"code", "12345"},
        {"fingerprint", R"("0123456789abcdeF")"},
        {"fingerprint", R"("0123456789abcde")"},
        {"fingerprint", R"("0123456789abcdef0")"},
        {"port", "1023"},
        {"port", "65536"},
        {"port", R"("51234")"},
        {"port", "true"},
        {"port", "51234.5"},
        {"label", R"("")"},
        {"label", '"' + std::string(81, 'a') + '"'},
        {"label", R"("a\tb")"},
        {"label", R"("a\nb")"},
        {"label", R"("a\u200Eb")"},
        {"label", R"("a\u202Eb")"},
        {"label", R"("a\u2068b")"},
        {"label", R"("a\u00ADb")"}, // soft hyphen: a format character
        {"label", R"("a\u2028b")"}, // a line separator would start a line of the requester's own
        {"label", "42"},
        {"extra", "1"},
    };
    for (const auto& [member, json] : refused) {
        EXPECT_FALSE(parseRequest(requestWith(member, json))) << member << " = " << json;
    }
    const std::string valid = requestWith("", "");
    for (const std::string& line : {
             std::string(),
             std::string("[]"),
             std::string("null"),
             valid + "x",
             valid.substr(0, valid.size() - 1),
             R"({"intentId":")" + intentId + R"(","code":"012345","label":"x","port":1024})",
             // Five members, but one named twice: which value counts is anyone's guess.
             R"({"intentId":")" + intentId +
                 R"(","code":"012345","label":"a","label":"b","port":1024,"fingerprint":"0123456789abcdef"})",
             // Not UTF-8.
             R"({"intentId":")" + intentId +
                 "\",\"code\":\"012345\",\"label\":\"\xC3\",\"port\":1024,\"fingerprint\":"
                 "\"0123456789abcdef\"}",
         }) {
        EXPECT_FALSE(parseRequest(line)) << line;
    }
}

TEST(PairingRequestTest, ReadsOnlyTheFirstLineWithinItsLimit) {
    const std::string longest(PairingApproval::maxRequestBytes, 'x');
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", std::nullopt},
        {"\n", ""},
        {"\r\n", ""},
        {"abc", "abc"},
        {"abc\r\ndef\n", "abc"},
        {"abc\ndef", "abc"},
        {"a\rb\n", "a\rb"},
        {longest, longest},
        {longest + "\n", longest},
        {longest + "\r\n", longest},
        {longest + "y", std::nullopt},
        {longest + "y\n", std::nullopt},
        {longest + "yyyyyyyy\n", std::nullopt},
    };
    for (const auto& [input, line] : cases) {
        const Input pipe(input);
        EXPECT_EQ(PairingApproval::readRequestLine(pipe.fds[0]), line) << input.size() << " bytes";
    }
    // However much follows, no more than the budget of the longest line is taken in.
    const Input overlong(std::string(10000, 'z'));
    PairingApproval::readRequestLine(overlong.fds[0]);
    EXPECT_EQ(overlong.rest().size(), 10000 - PairingApproval::maxRequestBytes - 2);
}

class PairingModeTest : public ::testing::Test {
  protected:
    int run(const std::vector<std::string>& arguments, const std::string& input,
            std::optional<AlertAnswer> answer = AlertAnswer{firstButtonResponse, std::nullopt}) {
        Input in(input);
        int out[2];
        EXPECT_EQ(::pipe2(out, O_NONBLOCK), 0);
        const int status = PairingApproval::run(arguments, in.fds[0], out[1], [&](const AlertSpec& spec) {
            shown.push_back(spec);
            return answer;
        });
        ::close(out[1]);
        output.assign(8192, '\0');
        const ssize_t got = ::read(out[0], output.data(), output.size());
        output.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        ::close(out[0]);
        unread = in.rest();
        return status;
    }

    const std::vector<std::string> usable{"tessaly-setup", "--pairing-approval"};
    std::vector<AlertSpec> shown;
    std::string output;
    std::string unread;
};

TEST_F(PairingModeTest, AnswersWithTheChosenButtonByteForByte) {
    const std::pair<int, bool> answers[] = {
        {firstButtonResponse, false},
        {firstButtonResponse + 1, true},
        {firstButtonResponse + 2, false},
        {0, false},
    };
    for (const auto& [response, approved] : answers) {
        shown.clear();
        EXPECT_EQ(run(usable, requestWith("", "") + "\nnext line\n", AlertAnswer{response, std::nullopt}), 0);
        EXPECT_EQ(output, std::string("{\"approved\":") + (approved ? "true" : "false") + ",\"intentId\":\"" +
                              intentId + "\"}\n");
        ASSERT_EQ(shown.size(), 1u);
    }
    const AlertSpec& dialog = shown.front();
    EXPECT_EQ(dialog.messageText, "Remember this browser?");
    EXPECT_EQ(
        dialog.informativeText,
        "Compare this code with the extension page:\n\n012345\n\nOnly approve if both codes match. This "
        "browser can use the existing browser tools on this computer until revoked.\n\nRequested name "
        "(unverified): Work laptop\nLocal port: 51234\nCompanion identity: 0123456789abcdef");
    EXPECT_EQ(dialog.buttons, (std::vector<std::string>{"Reject", "Codes match - approve"}));
    EXPECT_EQ(dialog.style, AlertStyle::informational);
    EXPECT_TRUE(dialog.activate);
}

TEST_F(PairingModeTest, UnusableInvocationsEndWithStatusTwoAndNoWord) {
    const std::string valid = requestWith("", "") + "\n";
    EXPECT_EQ(run({"tessaly-setup", "--pairing-approval", "--connect"}, valid), 2);
    EXPECT_EQ(unread, valid) << "standard input is not read when the arguments are wrong";
    EXPECT_EQ(run({"tessaly-setup", "--pairing-approval"}, ""), 2);
    EXPECT_EQ(run({"tessaly-setup", "--pairing-approval"}, "\n"), 2);
    EXPECT_EQ(run({"tessaly-setup", "--pairing-approval"}, requestWith("code", R"("1")") + "\n"), 2);
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(output.empty());

    // Where no dialog can be shown the request is as unusable as a broken one.
    EXPECT_EQ(run(usable, valid, std::nullopt), 2);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_TRUE(output.empty());
}

TEST(PairingAnswerTest, AnAnswerThatCannotBeWrittenIsNoAnswer) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    ::close(out[0]);
    const Input in(requestWith("", ""));
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(PairingApproval::run({"p", "--pairing-approval"}, in.fds[0], out[1],
                                   [](const AlertSpec&) {
                                       return AlertAnswer{firstButtonResponse + 1, {}};
                                   }),
              2);
    ::close(out[1]);
}

} // namespace
