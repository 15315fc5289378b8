#include "desktop/url_opener.h"

#include <gio/gio.h>

namespace UrlOpener {

void openWithDefaultHandler(const std::string& url) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
        g_clear_error(&error);
    }
}

} // namespace UrlOpener
