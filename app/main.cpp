#include "app/check_mode.h"
#include "app/modes.h"
#include "connect/session.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One write, retried only for what the kernel did not take, so that a reader never sees a partial line
// interleaved with anything else.
void writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        written += static_cast<std::size_t>(count);
    }
}

int runCheckMode(const std::vector<std::string>& arguments) {
    const auto sessionPath = ConfigurationBundle::sessionPath(arguments);
    const auto layout = ConnectVerifier::Layout::standard(Installation::bundlePath());
    const CheckMode::Report report = CheckMode::check(sessionPath, layout, ::getuid());
    writeAll(STDOUT_FILENO, CheckMode::line(report));
    return exitCode(report.outcome);
}

int notBuiltYet(Mode mode) {
    std::fprintf(stderr, "tessaly-setup: the %s mode is not built yet\n",
                 std::string(rawValue(mode)).c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (a closed pipe to a script, a child's input) must end a write, not the process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv, argv + argc);
    const Mode mode = chooseMode(arguments);
    if (mode == Mode::check) {
        return runCheckMode(arguments);
    }
    return notBuiltYet(mode);
}
