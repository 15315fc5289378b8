#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

/// What a browser is given instead of the pairing URL, so that the token never stands on the browser's
/// command line, which every local user can read for as long as the browser runs: a page in a folder of the
/// user's own that forwards to the pairing URL at once.
namespace PairingPage {

/// The page's text: a refresh and a script that both replace it with `url` at once, and a link for a
/// browser that follows neither. None for an empty URL or one with a byte outside printable ASCII: a parsed
/// URL never has one, and no escaping would carry it unchanged through both forwards.
std::optional<std::string> html(std::string_view url);

/// The file URL of the absolute `path`, every byte but the unreserved characters and '/' percent-encoded.
std::string fileURL(const std::filesystem::path& path);

/// A page on disk, removed when this goes.
class File {
  public:
    explicit File(std::filesystem::path path) : path_(std::move(path)) {}
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string url() const { return fileURL(path_); }

  private:
    std::filesystem::path path_;
};

/// Writes the page for `url` into `folder` (a private folder of the user's) under a fresh name nobody can
/// guess, with mode 0600, creating the file itself: nothing already there is followed, opened or replaced.
/// None, leaving nothing behind, when the page cannot be written whole.
std::unique_ptr<File> write(const std::filesystem::path& folder, std::string_view url);

} // namespace PairingPage
