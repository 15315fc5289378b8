// SUPPORT.json ships beside the executable but is not ours to trust: no content may crash the reader, and no
// link it names may be opened unless it leads over https to one of the allowed hosts.
#include "app/support.h"

#include <boost/url/parse.hpp>
#include <cstdint>
#include <cstdlib>

namespace {

bool isAllowedHost(std::string_view host) {
    for (const std::string_view allowed : SupportLinks::allowedSupportHosts) {
        if (host == allowed || host.ends_with("." + std::string(allowed))) {
            return true;
        }
    }
    return false;
}

void checkLink(std::string_view url) {
    if (!SupportLinks::isOpenable(url)) {
        return;
    }
    const auto parsed = boost::urls::parse_uri(url);
    if (!url.starts_with("https://") || !parsed || !isAllowedHost(parsed->host())) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The input as a link on its own reaches the URL rules without first having to build a whole file.
    checkLink(input);
    const auto links = SupportLinks::parse(input);
    if (!links) {
        return 0;
    }
    if (links->size() != SupportLinks::linkCount) {
        std::abort();
    }
    for (const auto& link : *links) {
        if (link.url) {
            checkLink(*link.url);
        }
    }
    return 0;
}
