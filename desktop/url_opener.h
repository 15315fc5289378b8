#pragma once

#include <string>

namespace UrlOpener {

/// Hands `url` to the desktop's default handler for its scheme, as the desktop's entries name it. The
/// result is not examined: a desktop without a handler simply opens nothing.
void openWithDefaultHandler(const std::string& url);

} // namespace UrlOpener
