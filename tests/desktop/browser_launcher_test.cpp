#include "desktop/browser_launcher.h"
#include "desktop/event_loop.h"
#include "tests/temp_dir.h"

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

/// The desktop the tests see: entries in a private user folder and a private system folder, written before
/// the first GIO call because GIO reads the folders' names once per process.
struct FakeDesktop {
    TempDir root;

    std::filesystem::path userEntries() const { return root.path() / "user/applications"; }
    std::filesystem::path systemEntries() const { return root.path() / "system/applications"; }
    std::filesystem::path record(const std::string& program) const {
        return root.path() / (program + ".args");
    }

    /// A program that writes each of its arguments, bracketed, into its record, all at once.
    std::string recorder(const std::string& program) const {
        const auto out = record(program).string();
        return root.write("bin/" + program,
                          "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > '" + out +
                              ".partial'\nmv '" + out + ".partial' '" + out + "'\n",
                          0700);
    }

    void entry(const std::filesystem::path& folder, const std::string& id, const std::string& exec) const {
        const auto relative = std::filesystem::relative(folder / id, root.path()).string();
        root.write(relative, "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=" + exec + " %U\n");
    }
};

FakeDesktop* desktop = nullptr;

/// Turns the main loop in short slices until `done` holds or a generous deadline passes.
bool turnUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        EventLoop::run(0.02);
    }
    return true;
}

std::string readAll(const std::filesystem::path& file) {
    std::ostringstream content;
    content << std::ifstream(file).rdbuf();
    return content.str();
}

TEST(BrowserLauncherTest, CountsOnlyEntriesWhoseProgramExists) {
    const std::pair<const char*, bool> browsers[] = {
        {"org.chromium.Chromium", true}, // distribution entry, system folder
        {"com.brave.Browser", true},     // Flatpak entry, user folder, after an unusable one
        {"com.microsoft.edgemac", true}, // a program that fails at once is still a program
        {"com.google.Chrome", false},    // no entry
        {"com.vivaldi.Vivaldi", false},  // entry whose program is missing
        {"com.example.Unknown", false},  // not a browser we know
        {"", false},
    };
    for (const auto& [identifier, installed] : browsers) {
        EXPECT_EQ(BrowserLauncher::isInstalled(identifier), installed) << identifier;
    }
}

TEST(BrowserLauncherTest, LaunchHandsTheWholeUrlAsOneArgumentAndReportsOnTheMainThread) {
    const std::string url = "http://127.0.0.1:51234/pair?a=1&b=two words#token=Ab-_9.x'\"$HOME";
    const std::pair<const char*, const char*> browsers[] = {
        {"org.chromium.Chromium", "chromium"},
        {"com.brave.Browser", "brave"},
        // Counts as launched: GIO reports only whether its launch helper started, not how the program ended.
        {"com.microsoft.edgemac", nullptr},
    };
    for (const auto& [identifier, program] : browsers) {
        std::optional<bool> outcome;
        std::thread::id thread;
        ASSERT_TRUE(BrowserLauncher::launch(url, identifier, [&](bool succeeded) {
            outcome = succeeded;
            thread = std::this_thread::get_id();
        }));
        // Delivered by the loop, never from inside the call.
        EXPECT_FALSE(outcome.has_value());
        ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); })) << identifier;
        EXPECT_TRUE(*outcome);
        EXPECT_EQ(thread, std::this_thread::get_id());
        if (program == nullptr) {
            continue;
        }
        const auto record = desktop->record(program);
        ASSERT_TRUE(turnUntil([&] { return std::filesystem::exists(record); })) << identifier;
        EXPECT_EQ(readAll(record), "[" + url + "]\n");
    }
}

TEST(BrowserLauncherTest, NothingIsLaunchedForABrowserThatIsNotInstalledOrWasRemoved) {
    // GIO reads an entry afresh at each lookup, so a removal counts at once; the loop turns in case a
    // later GIO waits for its folder monitor instead.
    const auto installed = [] { return BrowserLauncher::isInstalled("com.operasoftware.Opera"); };
    std::filesystem::remove(desktop->systemEntries() / "opera.desktop");
    EXPECT_TRUE(installed()) << "the Flatpak entry is still there";
    std::filesystem::remove(desktop->root.path() / "bin/opera-flatpak");
    ASSERT_TRUE(turnUntil([&] { return !installed(); }));

    for (const char* identifier :
         {"com.operasoftware.Opera", "com.google.Chrome", "com.vivaldi.Vivaldi", "com.example.Unknown"}) {
        bool called = false;
        EXPECT_FALSE(BrowserLauncher::launch("https://example.org/#token=x", identifier, [&](bool) {
            called = true;
        })) << identifier;
        EventLoop::run(0.05);
        EXPECT_FALSE(called) << identifier;
    }
}

} // namespace

int main(int argc, char** argv) {
    FakeDesktop fake;
    desktop = &fake;
    const auto missing = (fake.root.path() / "missing").string();
    fake.entry(fake.systemEntries(), "chromium.desktop", fake.recorder("chromium"));
    fake.entry(fake.systemEntries(), "opera.desktop", fake.recorder("opera"));
    fake.entry(fake.systemEntries(), "com.opera.Opera.desktop", fake.recorder("opera-flatpak"));
    fake.entry(fake.systemEntries(), "microsoft-edge.desktop", "/bin/false");
    fake.entry(fake.systemEntries(), "vivaldi-stable.desktop", missing + "/vivaldi");
    fake.entry(fake.userEntries(), "brave-browser.desktop", missing + "/brave");
    fake.entry(fake.userEntries(), "com.brave.Browser.desktop", fake.recorder("brave"));
    ::setenv("XDG_DATA_HOME", (fake.root.path() / "user").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (fake.root.path() / "system").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (fake.root.path() / "config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (fake.root.path() / "config-system").c_str(), 1);
    // No session bus: the launch then always spawns the entry's program, whatever bus the tester runs.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + missing + "/bus").c_str(), 1);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
