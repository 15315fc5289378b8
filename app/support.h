#pragma once

#include "app/desktop.h"

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The voluntary support links that ship beside the application in SUPPORT.json. The list is data; the
/// program holds only the rules a file must meet to be shown and a link must meet to be opened. Every
/// failure is silent: a missing or broken file never disturbs the setup window.
namespace SupportLinks {

/// The hosts, with their subdomains, that a support link may lead to: two of one payment service, one of
/// another.
inline constexpr std::array<std::string_view, 3> allowedSupportHosts = {"paypal.com", "paypal.me",
                                                                        "ko-fi.com"};

/// Exactly this many links, or none is shown.
inline constexpr std::size_t linkCount = 5;
/// A larger file is not read: the real one is a few hundred bytes.
inline constexpr std::size_t maxFileBytes = 65536;

struct Link {
    /// The pop-up item: the label, then " - " and the recipient when there is one.
    std::string title;
    /// The "url" member when it is a text.
    std::optional<std::string> url;

    friend bool operator==(const Link&, const Link&) = default;
};

/// The links of a SUPPORT.json document, in file order, or none unless the document is an object whose
/// "links" is an array of exactly linkCount objects.
std::optional<std::vector<Link>> parse(std::string_view bytes);

/// The content of the regular file at `path` (links followed), or none when it is missing, unreadable,
/// not a regular file or larger than maxFileBytes. Never blocks on a FIFO or device.
std::optional<std::string> readFile(const std::filesystem::path& path);

/// True for an https URL (the scheme exactly as written) whose host is an allowed host or a subdomain of
/// one; the port, user information, path, query and fragment are not examined.
bool isOpenable(std::string_view url);

/// The support alert offering `links`.
AlertSpec alert(const std::vector<Link>& links);

/// Offers the links of the SUPPORT.json file at `supportFile` and opens the chosen one when it passes
/// isOpenable.
void offer(const std::filesystem::path& supportFile, const Desktop& desktop);

} // namespace SupportLinks
