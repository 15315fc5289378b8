#include "app/child_reaper.h"
#include "app/launch.h"
#include "app/menu_bar.h"
#include "app/single_instance.h"
#include "app/tray_display.h"
#include "tests/process_checks.h"
#include "tests/temp_dir.h"

#include <deque>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Presence::Report;
using TrayDisplayRules::forReport;

// The companion's own reports (offline, running, attached, odd texts) are read through a real tray.
TEST(TrayDisplayTest, FollowsTheLatestReportAlone) {
    const std::string dash = "\u2014", connect = "Connect to Chrome", notRunning = "Companion not running";
    const std::pair<const char*, TrayDisplay> cases[] = {
        {nullptr, // the probe gave nothing
         {TraySymbol::offline, notRunning, notRunning, notRunning,
          "Start the companion from your MCP client.", connect, false}},
        {"{}", {TraySymbol::offline, notRunning, notRunning, notRunning, dash, connect, false}},
        {R"({"state":"Enabled","title":"Ready"})",
         {TraySymbol::offline, "Ready", "Ready", "Ready", dash, connect, false}},
        {R"({"state":1,"title":2,"detail":"","version":"0.4"})",
         {TraySymbol::offline, notRunning + " (v0.4)", notRunning, notRunning, dash, connect, false}},
    };
    for (const auto& [json, shown] : cases) {
        EXPECT_EQ(forReport(json != nullptr ? Presence::parse(json) : std::nullopt), shown)
            << (json ? json : "");
    }
}

std::string repeated(const std::string& piece, std::size_t times) {
    return times == 0 ? "" : piece + repeated(piece, times - 1);
}

// Every text of a report is shown with no hidden characters and within 200 user-perceived characters; the
// state word is compared as written, so "enabled" with a zero-width space is not "enabled".
TEST(TrayDisplayTest, ShowsEachReportTextCleanedAndBounded) {
    const std::string ellipsis = "\u2026", accented = "e\u0301\u0323", couple = "\U0001F468\u200D\U0001F469";
    const std::pair<std::string, std::string> texts[] = {
        {"a\tb\nc\r", "abc"},
        {"invoice\u202Efdp.exe", "invoicefdp.exe"},
        {"one\u2028two\u2029", "onetwo"},
        {couple, "\U0001F468\U0001F469"},
        {"ok\xC3(\xFF", "ok\uFFFD(\uFFFD"},
        {"\u200B\u202E\n", ""},
        {"enabled\u200B", "enabled"},
        {std::string(60000, 'x'), std::string(199, 'x') + ellipsis},
        {repeated("w", 200), repeated("w", 200)},
        {repeated("w", 201), repeated("w", 199) + ellipsis},
        {repeated(accented, 200), repeated(accented, 200)},
        {repeated(accented, 201), repeated(accented, 199) + ellipsis},
        // 101 joined pairs are 202 characters once the joiners are gone.
        {repeated(couple, 101), repeated("\U0001F468\U0001F469", 99) + "\U0001F468" + ellipsis},
    };
    for (const auto& [text, shown] : texts) {
        const std::string detail = shown.empty() ? "\u2014" : shown, tooltip = shown + " (v" + shown + ")";
        EXPECT_EQ(forReport(Report{text, text, text, text, text}),
                  (TrayDisplay{TraySymbol::offline, tooltip, shown, shown, detail, shown, false}))
            << text.substr(0, 40);
    }
}

// Reports are read end to end; what is seen only here is the probe's own bound on a script that lingers.
TEST(PresenceProbeTest, GivesUpOnAScriptThatKeepsItsOutputOpen) {
    TempDir dir;
    ConnectProbeHandle handle;
    const auto started = Clock::now();
    const auto script = dir.write("presence.sh", "printf '{\"state\":\"enabled\"}'; exec sleep 30\n");
    EXPECT_EQ(Presence::probe("/bin/sh", script, handle), std::nullopt);
    EXPECT_LT(secondsSince(started), 9);
}

TEST(MenuBarTest, RefreshesOneProbeAtATimeAndStopsShowingAfterQuit) {
    std::vector<TrayDisplay> shown;
    std::function<void()> tick;
    std::mutex lock;
    std::deque<std::function<void()>> posted;
    // The worker answers on its own thread; a turn waits for its answer so that the steps are deterministic.
    const auto deliver = [&] {
        std::function<void()> work;
        eventually(
            [&] {
                std::lock_guard guard(lock);
                if (!work && !posted.empty()) {
                    work = std::move(posted.front());
                    posted.pop_front();
                }
                return work != nullptr;
            },
            2);
        if (work) {
            work();
        }
    };
    std::atomic<int> probes{0};
    MenuBar::Environment environment;
    environment.probe = [&](ConnectProbeHandle& handle) -> std::optional<Report> {
        const int number = ++probes;
        while (number == 2 && !handle.isCancelled()) {
            std::this_thread::yield();
        }
        return Report{"enabled", "probe " + std::to_string(number), {}, {}, {}};
    };
    Desktop& desktop = environment.desktop;
    desktop.createTray = [&](const TrayDisplay& display, const ConnectMenuTarget&) {
        shown.push_back(display);
        return [&](const TrayDisplay& next) { shown.push_back(next); };
    };
    desktop.trayAvailable = [] { return true; };
    desktop.postToMain = [&](std::function<void()> work) {
        std::lock_guard guard(lock);
        posted.push_back(std::move(work));
    };
    desktop.startTimer = [&](double seconds, std::function<void()> each) {
        EXPECT_EQ(seconds, 5.0);
        tick = std::move(each);
    };
    desktop.runUntilQuit = [&] {
        deliver(); // the first probe's answer
        tick();    // the second probe starts and blocks
        EXPECT_TRUE(eventually([&] { return probes == 2; }));
        tick();                             // dropped: one is in flight
        ConnectMenuTarget::shared().quit(); // cancels the blocked probe
    };
    desktop.quit = [] {};
    EXPECT_EQ(MenuBar::run(environment), 0);
    deliver(); // the cancelled probe's answer arrives after Quit: nothing more is shown
    EXPECT_EQ(probes, 2);
    EXPECT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], TrayDisplayRules::initial());
    EXPECT_EQ(shown.back().statusLine, "probe 1");
}

TEST(SingleInstanceTest, OneHolderPerDisplay) {
    TempDir dir;
    const auto environment = [&](const char* display) {
        return [&, display](const char* name) -> const char* {
            const std::string key = name;
            return key == "DISPLAY" ? display : key == "XDG_RUNTIME_DIR" ? dir.path().c_str() : nullptr;
        };
    };
    const auto lockPath = [&](const char* display) {
        return SingleInstance::lockPath(environment(display), ::getuid(), "/nonexistent");
    };
    const auto first = lockPath(":0");
    ASSERT_TRUE(first);
    EXPECT_EQ(lockPath(":0.0"), first);
    EXPECT_NE(lockPath(":1"), first);
    EXPECT_EQ(lockPath("../x:0")->parent_path(), first->parent_path());
    EXPECT_TRUE(SingleInstance::acquire(*first));
    EXPECT_FALSE(SingleInstance::acquire(*first));
    EXPECT_TRUE(SingleInstance::acquire(*lockPath(":1")));
}

// Without a runtime folder the lock lives under the user's home, never in a folder someone else could make.
TEST(SingleInstanceTest, ThePrivateFolderIsTheUsersOwn) {
    namespace fs = std::filesystem;
    TempDir dir;
    const fs::path home = dir.path() / "home", state = dir.path() / "state";
    const auto folder = [&](const char* stateHome) {
        return PrivateFolder::forUser(
            [&](const char* name) -> const char* {
                return std::string(name) == "XDG_STATE_HOME" ? stateHome : nullptr;
            },
            ::getuid(), PrivateFolder::Fallback::state, home);
    };
    fs::create_directories(home);
    EXPECT_EQ(folder(nullptr), home / ".cache" / "tessaly-setup");
    EXPECT_EQ(fs::status(home / ".cache" / "tessaly-setup").permissions(), fs::perms::owner_all);
    EXPECT_EQ(folder("relative/state"), home / ".cache" / "tessaly-setup");
    fs::create_directories(state);
    EXPECT_EQ(folder(state.c_str()), state / "tessaly-setup");

    fs::remove(state / "tessaly-setup");
    fs::create_directory_symlink(dir.path(), state / "tessaly-setup");
    EXPECT_EQ(folder(state.c_str()), std::nullopt) << "a link planted in its place";
    fs::remove(state / "tessaly-setup");
    fs::create_directory(state / "tessaly-setup");
    fs::permissions(state / "tessaly-setup", fs::perms::owner_all | fs::perms::group_read);
    EXPECT_EQ(folder(state.c_str()), std::nullopt) << "a folder others may read";
    fs::permissions(state / "tessaly-setup", fs::perms::owner_all);
    fs::permissions(state, fs::perms::all);
    EXPECT_EQ(folder(state.c_str()), std::nullopt) << "a parent anyone may rename entries in";
    fs::permissions(state, fs::perms::owner_all);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((state / "tessaly-setup").c_str(), 65534, 65534), 0);
        EXPECT_EQ(folder(state.c_str()), std::nullopt) << "another user's folder";
    }
}

TEST(ChildReaperTest, ReapsEveryChildWithoutLeavingZombiesOrThreads) {
    ChildReaper reaper;
    const auto threads = entries("/proc/self/task");
    for (int i = 0; i < 50; ++i) {
        const int pid = Launch::startDetached("/bin/sh", {"-c", i % 2 ? "exit 3" : "sleep 0.05"});
        ASSERT_GT(pid, 0);
        reaper.adopt(pid);
    }
    EXPECT_TRUE(eventually([&] { return reaper.watching() == 0; }, 20));
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_TRUE(noChildren());
}

} // namespace
