#include "desktop/browser_launcher.h"

#include "app/browser_entries.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sys/wait.h>
#include <unistd.h>

namespace BrowserLauncher {
namespace {

struct FoundEntry {
    GDesktopAppInfo* info = nullptr;
    BrowserEntries::Packaging packaging = BrowserEntries::Packaging::native;
};

/// The first entry of the browser that GIO accepts. Looked up afresh each time: GIO reads the entry again,
/// so a browser uninstalled since the last answer is not found any more.
FoundEntry findEntry(const std::string& bundleIdentifier) {
    for (const auto& entry : BrowserEntries::entries(bundleIdentifier)) {
        if (auto* info = g_desktop_app_info_new(std::string(entry.desktopId).c_str())) {
            return {info, entry.packaging};
        }
    }
    return {};
}

/// Runs in the child between fork and exec, so it may only make async-signal-safe calls: a session of its
/// own keeps the browser out of this process's group and away from its terminal.
void startSession(gpointer /*unused*/) {
    ::setsid();
}

void rememberProcess(GDesktopAppInfo* /*info*/, GPid pid, gpointer data) {
    auto* first = static_cast<GPid*>(data);
    if (*first == 0) {
        *first = pid;
    }
}

void processEnded(GPid pid, gint waitStatus, gpointer data) {
    g_spawn_close_pid(pid);
    const auto& ended = *static_cast<LaunchEnded*>(data);
    ProcessEnd end;
    end.signalled = WIFSIGNALED(waitStatus);
    end.code = end.signalled ? WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
    if (ended) {
        ended(end);
    }
}

void forgetEnded(gpointer data) {
    delete static_cast<LaunchEnded*>(data);
}

/// A context whose environment carries `activation` and no token of this process's own: one it was started
/// with is spent, or meant for this process's own window.
GAppLaunchContext* contextFor(const Activation& activation) {
    GAppLaunchContext* context = g_app_launch_context_new();
    g_app_launch_context_unsetenv(context, "DESKTOP_STARTUP_ID");
    g_app_launch_context_unsetenv(context, "XDG_ACTIVATION_TOKEN");
    if (activation.startupId) {
        g_app_launch_context_setenv(context, "DESKTOP_STARTUP_ID", activation.startupId->c_str());
    }
    if (activation.activationToken) {
        g_app_launch_context_setenv(context, "XDG_ACTIVATION_TOKEN", activation.activationToken->c_str());
    }
    return context;
}

} // namespace

bool isInstalled(const std::string& bundleIdentifier) {
    const FoundEntry found = findEntry(bundleIdentifier);
    if (found.info == nullptr) {
        return false;
    }
    g_object_unref(found.info);
    return true;
}

bool isSandboxed(const std::string& bundleIdentifier) {
    const FoundEntry found = findEntry(bundleIdentifier);
    if (found.info == nullptr) {
        return false;
    }
    const char* fileName = g_desktop_app_info_get_filename(found.info);
    const bool confined = BrowserEntries::isConfined(
        {found.packaging, fileName != nullptr ? fileName : "",
         g_desktop_app_info_has_key(found.info, "X-Flatpak") != FALSE ||
             g_desktop_app_info_has_key(found.info, "X-SnapInstanceName") != FALSE});
    g_object_unref(found.info);
    return confined;
}

bool launch(const std::string& url, const std::string& bundleIdentifier,
            const std::function<Activation(const std::string& desktopId)>& activate, LaunchEnded ended) {
    const FoundEntry found = findEntry(bundleIdentifier);
    if (found.info == nullptr) {
        return false;
    }
    const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nowhere < 0) {
        g_object_unref(found.info);
        return false;
    }
    const char* desktopId = g_app_info_get_id(G_APP_INFO(found.info));
    GAppLaunchContext* context =
        contextFor(activate && desktopId != nullptr ? activate(desktopId) : Activation{});
    GList uris{};
    uris.data = const_cast<char*>(url.c_str());
    GPid pid = 0;
    GError* error = nullptr;
    // Not reaped by GIO, which would otherwise start the browser through an intermediate process and leave
    // nothing to watch; the child watch below reaps it instead. GIO closes every other descriptor in the
    // child.
    const bool started = g_desktop_app_info_launch_uris_as_manager_with_fds(
                             found.info, &uris, context, G_SPAWN_DO_NOT_REAP_CHILD, startSession, nullptr,
                             rememberProcess, &pid, nowhere, nowhere, nowhere, &error) != FALSE;
    // The error's text may quote the command line, which may hold the URL and its token: it is not kept.
    g_clear_error(&error);
    ::close(nowhere);
    g_object_unref(context);
    g_object_unref(found.info);
    if (started && pid > 0) {
        g_child_watch_add_full(G_PRIORITY_DEFAULT, pid, processEnded, new LaunchEnded(std::move(ended)),
                               forgetEnded);
    }
    return started;
}

} // namespace BrowserLauncher
