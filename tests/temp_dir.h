#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

/// A fresh folder under /tmp for one test, removed with everything in it when the test ends.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/tessaly-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    /// Writes `content` to `name` inside the folder with exactly the permission bits `mode`.
    std::string write(const std::string& name, const std::string& content, unsigned mode = 0600) const {
        const auto file = path_ / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        std::filesystem::permissions(file, static_cast<std::filesystem::perms>(mode));
        return file.string();
    }

    /// What the file `name` holds; an absolute `name` names a file of its own.
    std::string read(const std::filesystem::path& name) const {
        std::ostringstream text;
        text << std::ifstream(path_ / name).rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path path_;
};
