#include "app/desktop_module.h"

#include "connect/environment.h"

#include <dlfcn.h>

DesktopSession::~DesktopSession() {
    if (started_.finish) {
        started_.finish();
    }
}

namespace DesktopModule {

bool displayConfigured(const std::function<const char*(const char*)>& environment) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = environment(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

std::string platformFor(const std::function<const char*(const char*)>& environment) {
    const auto isSet = [&](const char* name) {
        const char* value = environment(name);
        return value != nullptr && *value != '\0';
    };
    if (isSet("QT_QPA_PLATFORM") || !isSet("WAYLAND_DISPLAY")) {
        return {};
    }
    return "wayland;xcb";
}

tl::expected<std::unique_ptr<DesktopSession>, Failure> start(DesktopStartRequest request) {
    if (!displayConfigured(environmentVariable)) {
        return tl::unexpected(Failure{Failure::Kind::noDisplay, {}});
    }
    request.platform = platformFor(environmentVariable);
    // Only ever a full path: a bare file name would send the loader searching the library path.
    if (!request.bundlePath.is_absolute()) {
        return tl::unexpected(Failure{Failure::Kind::moduleUnusable, "the executable's folder is unknown"});
    }
    const std::filesystem::path modulePath = request.bundlePath / desktopModuleFileName;
    // Never closed: the window system's libraries are not made to be unloaded while the process runs.
    void* module = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): modules are opened on the main thread only
        return tl::unexpected(Failure{Failure::Kind::moduleUnusable, ::dlerror()});
    }
    const auto entry = reinterpret_cast<DesktopEntryPoint>(::dlsym(module, desktopEntrySymbol));
    if (entry == nullptr) {
        return tl::unexpected(
            Failure{Failure::Kind::moduleUnusable, modulePath.string() + ": no entry point"});
    }
    entry(&request);
    if (!request.desktop) {
        return tl::unexpected(Failure{Failure::Kind::noDisplay, {}});
    }
    return std::make_unique<DesktopSession>(std::move(request));
}

} // namespace DesktopModule
