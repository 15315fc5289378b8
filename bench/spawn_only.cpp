// The least a C++ program in front of the verifier can cost: start, run the verifier with its input on a
// pipe, collect its output, print it. bench/check-mode.sh sets the check mode against it, so that what the
// machine charges for one more process is told apart from what the check mode does.
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
    int output[2];
    if (argc < 2 || ::pipe(output) != 0) {
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    pid_t child = 0;
    if (::posix_spawn(&child, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
        return 2;
    }
    ::close(output[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::waitpid(child, nullptr, 0);
    std::fputs(text.c_str(), stdout);
    return 0;
}
