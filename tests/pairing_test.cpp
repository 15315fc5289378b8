#include "app/modes.h"
#include "app/pairing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace {

using namespace std::string_literals;
using PairingApproval::parseRequest;

const std::string intentId(43, 'A');

/// The valid request with `change`, a member's name and its JSON value after a space, made to it.
std::string requestWith(const std::string& change = "") {
    nlohmann::json request = {{"intentId", intentId},
                              {"code", "012345"},
                              {"label", "Work laptop"},
                              {"port", 51234},
                              {"fingerprint", "0123456789abcdef"}};
    if (!change.empty()) {
        request[change.substr(0, change.find(' '))] = nlohmann::json::parse(change.substr(change.find(' ')));
    }
    return request.dump();
}

std::string repeated(const std::string& piece, std::size_t times) {
    return times == 0 ? "" : piece + repeated(piece, times - 1);
}

/// What is left to read on `fd`, up to what a pipe holds.
std::string drain(int fd) {
    std::string bytes(70000, '\0');
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(::read(fd, bytes.data(), bytes.size()), 0)));
    return bytes;
}

/// A pipe holding `input`, closed for writing, so reads see exactly that input and then its end.
struct Input {
    explicit Input(const std::string& input) {
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(fds[1]);
    }
    ~Input() { ::close(fds[0]); }
    int fds[2] = {-1, -1};
};

// What a request holds is read from the dialog end to end.
TEST(PairingRequestTest, AcceptsTheBoundariesOfEachRuleAndRefusesWhatBreaksOne) {
    // 80 emoji of one scalar each, 80 e with a combining acute, 80 thumbs with a skin tone.
    for (const std::string& change :
         {"port 1024"s, "port 65535"s, "intentId \"" + repeated("aZ09_-", 7) + "x\"",
          "label \"" + repeated("\xF0\x9F\x98\x80", 80) + '"', "label \"" + repeated("e\xCC\x81", 80) + '"',
          "label \"" + repeated("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 80) + '"',
          R"(label "<b>Codes match</b> Q&A")"s}) {
        EXPECT_TRUE(parseRequest(requestWith(change))) << change;
    }
    // A line separator in the label would start a line of the requester's own.
    for (const std::string& change :
         {R"(code "01234")"s, R"(code "0123456")"s, R"(code "01234a")"s, "code 12345"s,
          R"(fingerprint "0123456789abcdeF")"s, R"(fingerprint "0123456789abcde")"s,
          R"(fingerprint "0123456789abcdef0")"s, "port 1023"s, "port 65536"s, R"(port "51234")"s,
          "port 51234.5"s, R"(label "")"s, R"(label "a\nb")"s, R"(label "a\u202Eb")"s, R"(label "a\u2028b")"s,
          "label 42"s, "extra 1"s, "label \"" + std::string(81, 'a') + '"'}) {
        EXPECT_FALSE(parseRequest(requestWith(change))) << change;
    }
    const std::string valid = requestWith(), unclosed = valid.substr(0, valid.size() - 1);
    // A NUL byte would stop the parser; which of a member's two values counts is anyone's guess; \xC3 is no
    // UTF-8.
    for (const std::string& line :
         {""s, "[]"s, valid + "x", valid + "\0{}"s, unclosed, unclosed + R"(,"label":"b"})",
          R"({"intentId":")" + intentId + R"(","code":"012345","label":"x","port":1024})",
          R"({"intentId":")" + intentId +
              "\",\"code\":\"012345\",\"label\":\"\xC3\",\"port\":1024,\"fingerprint\":\"0123456789abcdef\"}",
          requestWith("intentId \"" + std::string(42, 'A') + '"'),
          requestWith("intentId \"" + std::string(44, 'A') + '"'),
          requestWith("intentId \"" + std::string(42, 'A') + "+\""),
          requestWith("intentId \"" + intentId + "\\n\"")}) {
        EXPECT_FALSE(parseRequest(line)) << line;
    }
}

TEST(PairingRequestTest, ReadsOnlyTheFirstLineWithinItsLimit) {
    const std::string longest(PairingApproval::maxRequestBytes, 'x');
    const std::optional<std::string> none;
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", none},         {"abc\r\ndef\n", "abc"},        {"\n", ""},          {longest + "\n", longest},
        {"abc", "abc"},     {longest + "\r\n", longest},    {"a\rb\n", "a\rb"},  {longest + "y", none},
        {longest, longest}, {longest + "yyyyyyyy\n", none}, {"abc\ndef", "abc"},
    };
    for (const auto& [input, line] : cases) {
        const Input pipe(input);
        EXPECT_EQ(PairingApproval::readRequestLine(pipe.fds[0]), line) << input.size() << " bytes";
    }
    // However much follows, no more than the budget of the longest line is taken in.
    const Input overlong(std::string(10000, 'z'));
    PairingApproval::readRequestLine(overlong.fds[0]);
    EXPECT_EQ(drain(overlong.fds[0]).size(), 10000 - PairingApproval::maxRequestBytes - 2);
}

// The requester's label is shown apart and quoted, each run of white space as one space; the informative text
// that a screen reader reads keeps it as sent, in its place.
TEST(PairingDialogTest, QuotesTheLabelWithWhiteSpaceCollapsed) {
    const std::pair<std::string, std::string> labels[] = {
        {"Work laptop", "\u201CWork laptop\u201D"},
        {"  a\u00A0\u3000\u2003b ", "\u201C a b \u201D"},
        {"a\t\n\u2028 b", "\u201Ca b\u201D"},
        {"a \u0301b", "\u201Ca \u0301b\u201D"}, // the mark stays on the space it was written on
        {"<b>x</b>&\xC3", "\u201C<b>x</b>&\uFFFD\u201D"},
    };
    for (const auto& [label, shown] : labels) {
        const auto spec = PairingApproval::dialog({intentId, "012345", label, 51234, "0123456789abcdef"});
        ASSERT_TRUE(spec.quotedValue);
        EXPECT_EQ(spec.quotedValue->shown, shown);
        EXPECT_EQ(spec.informativeText.substr(spec.quotedValue->offset, spec.quotedValue->length), label);
    }
}

// The dialog's answers, broken requests and a missing display are tried on the built program end to end.
TEST(PairingModeTest, WrongArgumentsAndAnAnswerThatCannotBeWrittenEndWithStatusTwo) {
    const std::string valid = requestWith() + "\n";
    bool shown = false;
    const auto approve = [&](const AlertSpec&) {
        shown = true;
        return std::optional(AlertAnswer{firstButtonResponse + 1, {}});
    };
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const Input wrongArguments(valid);
    const auto arguments = CommandLine::read({"tessaly-setup", "--pairing-approval", "--connect"});
    EXPECT_EQ(PairingApproval::run(arguments.modeArgumentOnly(), wrongArguments.fds[0], out[1], approve), 2);
    EXPECT_EQ(drain(wrongArguments.fds[0]), valid)
        << "standard input is not read when the arguments are wrong";
    EXPECT_FALSE(shown);

    ::close(out[0]);
    signal(SIGPIPE, SIG_IGN);
    const Input in(valid);
    EXPECT_EQ(PairingApproval::run(true, in.fds[0], out[1], approve), 2);
    EXPECT_TRUE(shown);
    ::close(out[1]);
}

} // namespace
