#include "desktop/browser_launcher.h"
#include "desktop/event_loop.h"
#include "tests/temp_dir.h"

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <thread>

namespace {

/// The desktop the tests see: entries in a private user folder and a private system folder, written before
/// the first GIO call because GIO reads the folders' names once per process.
const TempDir* root = nullptr;

/// Turns the main loop in short slices until `done` holds or a generous deadline passes.
bool turnUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        EventLoop::run(0.02);
    }
    return done();
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
    std::optional<bool> outcome;
    std::thread::id thread;
    ASSERT_TRUE(BrowserLauncher::launch(url, "org.chromium.Chromium", [&](bool succeeded) {
        outcome = succeeded;
        thread = std::this_thread::get_id();
    }));
    EXPECT_FALSE(outcome.has_value()) << "delivered from inside the call rather than by the loop";
    ASSERT_TRUE(turnUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(*outcome);
    EXPECT_EQ(thread, std::this_thread::get_id());
    const auto record = root->path() / "chromium.args";
    ASSERT_TRUE(turnUntil([&] { return std::filesystem::exists(record); }));
    std::ostringstream arguments;
    arguments << std::ifstream(record).rdbuf();
    EXPECT_EQ(arguments.str(), "[" + url + "]\n");
}

TEST(BrowserLauncherTest, NothingIsLaunchedForABrowserThatIsNotInstalledOrWasRemoved) {
    // GIO reads an entry afresh at each lookup, so a removal counts at once; the loop turns in case a
    // later GIO waits for its folder monitor instead.
    const auto installed = [] { return BrowserLauncher::isInstalled("com.operasoftware.Opera"); };
    std::filesystem::remove(root->path() / "system/applications/opera.desktop");
    EXPECT_TRUE(installed()) << "the Flatpak entry is still there";
    std::filesystem::remove(root->path() / "bin/opera-flatpak");
    ASSERT_TRUE(turnUntil([&] { return !installed(); }));

    for (const char* identifier : {"com.operasoftware.Opera", "com.google.Chrome", "com.vivaldi.Vivaldi"}) {
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
    const TempDir fake;
    root = &fake;
    const auto missing = (fake.path() / "missing").string();
    // A program that writes each of its arguments, bracketed, into its record, all at once.
    const auto recorder = [&](const std::string& program) {
        const auto out = (fake.path() / (program + ".args")).string();
        return fake.write("bin/" + program,
                          "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > '" + out +
                              ".partial'\nmv '" + out + ".partial' '" + out + "'\n",
                          0700);
    };
    const auto entry = [&](const std::string& folder, const std::string& id, const std::string& exec) {
        fake.write(folder + "/applications/" + id,
                   "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=" + exec + " %U\n");
    };
    entry("system", "chromium.desktop", recorder("chromium"));
    entry("system", "opera.desktop", recorder("opera"));
    entry("system", "com.opera.Opera.desktop", recorder("opera-flatpak"));
    entry("system", "microsoft-edge.desktop", "/bin/false");
    entry("system", "vivaldi-stable.desktop", missing + "/vivaldi");
    entry("user", "brave-browser.desktop", missing + "/brave");
    entry("user", "com.brave.Browser.desktop", recorder("brave"));
    ::setenv("XDG_DATA_HOME", (fake.path() / "user").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (fake.path() / "system").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (fake.path() / "config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (fake.path() / "config-system").c_str(), 1);
    // No session bus: the launch then always spawns the entry's program, whatever bus the tester runs.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + missing + "/bus").c_str(), 1);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
