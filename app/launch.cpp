#include "app/launch.h"

#include "connect/spawn.h"

#include <unistd.h>

extern char** environ;

namespace Launch {

int startDetached(const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
    const std::string path = executable.string();
    std::vector<char*> argv = spawnArgv(path, arguments);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The window system's connections and the like are this process's own.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // A session of its own: the child outlives this process and does not share its terminal's signals.
    const CleanSpawnAttributes attributes(POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, path.c_str(), &actions, attributes.get(), argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

} // namespace Launch
