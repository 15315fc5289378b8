#include "desktop/browser_launcher.h"

#include "app/browser_entries.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace BrowserLauncher {
namespace {

/// The first entry of the browser that GIO accepts. Looked up afresh each time: GIO reads the entry again,
/// so a browser uninstalled since the last answer is not found any more.
GDesktopAppInfo* findEntry(const std::string& bundleIdentifier) {
    for (const auto id : BrowserEntries::desktopIds(bundleIdentifier)) {
        if (auto* info = g_desktop_app_info_new(std::string(id).c_str())) {
            return info;
        }
    }
    return nullptr;
}

void launched(GObject* source, GAsyncResult* result, gpointer data) {
    auto* completion = static_cast<LaunchCompletion*>(data);
    GError* error = nullptr;
    const bool succeeded = g_app_info_launch_uris_finish(G_APP_INFO(source), result, &error) != FALSE;
    // The error's text may quote the command line, which holds the URL and its token: it is not kept.
    g_clear_error(&error);
    if (*completion) {
        (*completion)(succeeded);
    }
    delete completion;
}

} // namespace

bool isInstalled(const std::string& bundleIdentifier) {
    GDesktopAppInfo* info = findEntry(bundleIdentifier);
    if (info == nullptr) {
        return false;
    }
    g_object_unref(info);
    return true;
}

bool launch(const std::string& url, const std::string& bundleIdentifier, LaunchCompletion completion) {
    GDesktopAppInfo* info = findEntry(bundleIdentifier);
    if (info == nullptr) {
        return false;
    }
    GAppLaunchContext* context = g_app_launch_context_new();
    GList uris{};
    uris.data = const_cast<char*>(url.c_str());
    // GIO copies the list and keeps its own references to the entry and the context until it calls back.
    g_app_info_launch_uris_async(G_APP_INFO(info), &uris, context, nullptr, launched,
                                 new LaunchCompletion(std::move(completion)));
    g_object_unref(context);
    g_object_unref(info);
    return true;
}

} // namespace BrowserLauncher
