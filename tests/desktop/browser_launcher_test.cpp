#include "desktop/browser_launcher.h"
#include "desktop/event_loop.h"
#include "tests/temp_dir.h"

#include <QApplication>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <thread>

namespace {

/// The desktop the tests see, written before GIO's first call: it reads the folders' names once.
const TempDir* root = nullptr;

bool turnUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        EventLoop::run(0.02);
    }
    return done();
}

const auto noActivation = [](const std::string&) { return BrowserLauncher::Activation{}; };

TEST(BrowserLauncherTest, KnowsOnlyEntriesWhoseProgramExistsAndWhichOfThemAreConfined) {
    const std::tuple<const char*, bool, bool> browsers[] = {
        {"org.chromium.Chromium", true, false}, // distribution entry, system folder
        {"com.brave.Browser", true, true},      // Flatpak entry, user folder, after an unusable one
        {"com.microsoft.edgemac", true, true},  // a distribution's ID, yet with Snap's key
        {"com.google.Chrome", true, false},
        {"com.vivaldi.Vivaldi", false, false}, // entry whose program is missing
        {"com.example.Unknown", false, false}, // not a browser we know
        {"", false, false},
    };
    for (const auto& [identifier, installed, sandboxed] : browsers) {
        EXPECT_EQ(BrowserLauncher::isInstalled(identifier), installed) << identifier;
        EXPECT_EQ(BrowserLauncher::isSandboxed(identifier), sandboxed) << identifier;
    }
}

TEST(BrowserLauncherTest, TheBrowserGetsTheWholeUrlAsOneArgumentAndNothingOfOurs) {
    const std::string url = "http://127.0.0.1:51234/pair?a=1&b=two words#token=Ab-_9.x'\"$HOME";
    std::optional<ProcessEnd> end;
    std::thread::id thread;
    std::string askedFor;
    const auto activate = [&](const std::string& desktopId) {
        askedFor = desktopId;
        return BrowserLauncher::Activation{"tessaly-setup-1-host-1_TIME42", std::nullopt};
    };
    ASSERT_TRUE(BrowserLauncher::launch(url, "org.chromium.Chromium", activate, [&](ProcessEnd ended) {
        end = ended;
        thread = std::this_thread::get_id();
    }));
    EXPECT_EQ(askedFor, "chromium.desktop");
    EXPECT_FALSE(end.has_value()) << "delivered from inside the call rather than by the loop";
    ASSERT_TRUE(turnUntil([&] { return end.has_value(); }));
    EXPECT_EQ(*end, (ProcessEnd{false, 0}));
    EXPECT_EQ(thread, std::this_thread::get_id());

    EXPECT_EQ(root->read("bin/chromium.args"), "[" + url + "]\n");
    // The fresh startup ID, not this process's stale token; reaped once ended. Its session and descriptors
    // are checked end to end.
    std::istringstream facts(root->read("bin/chromium.facts"));
    std::string pid, startupId, token;
    facts >> pid >> startupId >> token;
    EXPECT_FALSE(pid.empty());
    EXPECT_EQ(startupId, "[tessaly-setup-1-host-1_TIME42]");
    EXPECT_EQ(token, "[unset]");
    EXPECT_FALSE(std::filesystem::exists("/proc/" + pid)) << "left as a zombie";
}

TEST(BrowserLauncherTest, TellsHowTheBrowserEnded) {
    std::optional<ProcessEnd> end;
    ASSERT_TRUE(BrowserLauncher::launch("https://example.org/", "com.google.Chrome", noActivation,
                                        [&](ProcessEnd ended) { end = ended; }));
    ASSERT_TRUE(turnUntil([&] { return end.has_value(); }));
    EXPECT_EQ(*end, (ProcessEnd{true, SIGKILL}));
}

TEST(BrowserLauncherTest, NothingIsLaunchedForABrowserThatIsNotInstalledOrWasRemoved) {
    // GIO reads an entry afresh at each lookup; the loop turns in case a later GIO waits for a folder
    // monitor.
    const auto installed = [] { return BrowserLauncher::isInstalled("com.operasoftware.Opera"); };
    std::filesystem::remove(root->path() / "system/applications/opera.desktop");
    EXPECT_TRUE(installed()) << "the Flatpak entry is still there";
    std::filesystem::remove(root->path() / "bin/opera-flatpak");
    ASSERT_TRUE(turnUntil([&] { return !installed(); }));

    for (const char* identifier : {"com.operasoftware.Opera", "com.example.Unknown", "com.vivaldi.Vivaldi"}) {
        bool called = false;
        EXPECT_FALSE(BrowserLauncher::launch("https://example.org/#token=x", identifier, noActivation,
                                             [&](ProcessEnd) { called = true; }))
            << identifier;
        EventLoop::run(0.05);
        EXPECT_FALSE(called) << identifier;
    }
}

// Writes each argument, bracketed, beside itself, and its process and activation variables into its facts.
const char* const recording = R"(#!/bin/sh
printf '%s [%s] [%s]' $$ "${DESKTOP_STARTUP_ID-unset}" "${XDG_ACTIVATION_TOKEN-unset}" > "$0.facts"
for a in "$@"; do printf '[%s]\n' "$a"; done > "$0.args"
)";

} // namespace

int main(int argc, char** argv) {
    const TempDir fake;
    root = &fake;
    const auto missing = (fake.path() / "missing").string();
    const auto recorder = [&](const std::string& program) {
        return fake.write("bin/" + program, recording, 0700);
    };
    const auto entry = [&](const std::string& folder, const std::string& id, const std::string& exec,
                           const std::string& extra = "") {
        fake.write(folder + "/applications/" + id,
                   "[Desktop Entry]\nType=Application\nName=" + id + "\nExec=" + exec + " %U\n" + extra);
    };
    entry("system", "chromium.desktop", recorder("chromium"));
    entry("system", "opera.desktop", recorder("opera"));
    entry("system", "com.opera.Opera.desktop", recorder("opera-flatpak"));
    entry("system", "microsoft-edge.desktop", "/bin/false", "X-SnapInstanceName=edge\n");
    entry("system", "google-chrome.desktop", fake.write("bin/killed", "#!/bin/sh\nkill -KILL $$\n", 0700));
    entry("system", "vivaldi-stable.desktop", missing + "/vivaldi");
    entry("user", "brave-browser.desktop", missing + "/brave");
    entry("user", "com.brave.Browser.desktop", recorder("brave"));
    ::setenv("XDG_DATA_HOME", (fake.path() / "user").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (fake.path() / "system").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (fake.path() / "config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (fake.path() / "config-system").c_str(), 1);
    // No session bus: the launch then always spawns the entry's program, whatever bus the tester runs.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + missing + "/bus").c_str(), 1);
    // Tokens this process was started with are spent: a browser must never get them.
    ::setenv("DESKTOP_STARTUP_ID", "stale_TIME1", 1);
    ::setenv("XDG_ACTIVATION_TOKEN", "stale", 1);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
