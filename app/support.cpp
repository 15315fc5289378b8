#include "app/support.h"

#include "connect/file_checks.h"
#include "connect/json_values.h"

#include <boost/url/parse.hpp>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace SupportLinks {
namespace {

Link linkOf(const nlohmann::json& entry) {
    const std::string* label = JsonValues::stringMember(entry, "label");
    const std::string* recipient = JsonValues::stringMember(entry, "recipient");
    const std::string* url = JsonValues::stringMember(entry, "url");
    std::string title = label != nullptr ? *label : std::string();
    if (recipient != nullptr) {
        title += " - " + *recipient;
    }
    return {std::move(title), url != nullptr ? std::optional(*url) : std::nullopt};
}

bool isAllowedHost(std::string_view host) {
    for (const std::string_view allowed : allowedSupportHosts) {
        if (host == allowed || (host.size() > allowed.size() && host.ends_with(allowed) &&
                                host[host.size() - allowed.size() - 1] == '.')) {
            return true;
        }
    }
    return false;
}

} // namespace

std::optional<std::vector<Link>> parse(std::string_view bytes) {
    // Arrays are valid documents too; they are refused with every other shape below.
    const auto document = JsonValues::parse(bytes);
    if (!document.is_object()) {
        return std::nullopt;
    }
    const auto links = document.find("links");
    if (links == document.end() || !links->is_array() || links->size() != linkCount) {
        return std::nullopt;
    }
    std::vector<Link> result;
    for (const auto& entry : *links) {
        if (!entry.is_object()) {
            return std::nullopt;
        }
        result.push_back(linkOf(entry));
    }
    return result;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    const FileChecks::Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    auto bytes = FileChecks::readAtMost(file.get(), maxFileBytes);
    if (!bytes || bytes->size() > maxFileBytes) {
        return std::nullopt;
    }
    return bytes;
}

bool isOpenable(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || parsed->scheme() != "https" || !parsed->has_authority()) {
        return false;
    }
    // The host exactly as written: a percent-encoded host is not one the allowed list can vouch for.
    const std::string_view host = parsed->encoded_host();
    return !host.empty() && host.find('%') == std::string_view::npos && isAllowedHost(host);
}

AlertSpec alert(const std::vector<Link>& links) {
    AlertSpec spec;
    spec.messageText = "Voluntary support";
    spec.informativeText =
        "Support helps software upkeep and future features. No features or access are sold. "
        "Monthly options recur; one-off options let you choose an amount.";
    spec.buttons = {"Close", "Open support link"};
    PopUpAccessory popUp{400, 28, {}, 0};
    for (const auto& link : links) {
        popUp.items.push_back(link.title);
    }
    spec.accessory = std::move(popUp);
    return spec;
}

void offer(const std::filesystem::path& supportFile, const Desktop& desktop) {
    const auto bytes = readFile(supportFile);
    const auto links = bytes ? parse(*bytes) : std::nullopt;
    if (!links) {
        return;
    }
    const AlertAnswer answer = desktop.runAlert(alert(*links));
    if (answer.response != firstButtonResponse + 1 || !answer.selectedItem ||
        *answer.selectedItem >= links->size()) {
        return;
    }
    const auto& url = (*links)[*answer.selectedItem].url;
    if (url && isOpenable(*url)) {
        desktop.openURL(*url);
    }
}

} // namespace SupportLinks
