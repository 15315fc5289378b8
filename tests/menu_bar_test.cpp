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
    EXPECT_EQ(TrayDisplayRules::initial(),
              (TrayDisplay{std::nullopt, "", "", "Checking\u2026", dash, connect, true}));
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
    const auto first = SingleInstance::lockPath(environment(":0"), ::getuid());
    ASSERT_TRUE(first);
    EXPECT_EQ(SingleInstance::lockPath(environment(":0.0"), ::getuid()), first);
    EXPECT_NE(SingleInstance::lockPath(environment(":1"), ::getuid()), first);
    EXPECT_EQ(SingleInstance::lockPath(environment("../x:0"), ::getuid())->parent_path(), dir.path());
    EXPECT_TRUE(SingleInstance::acquire(*first));
    EXPECT_FALSE(SingleInstance::acquire(*first));
    EXPECT_TRUE(SingleInstance::acquire(*SingleInstance::lockPath(environment(":1"), ::getuid())));

    std::filesystem::permissions(dir.path(),
                                 std::filesystem::perms::owner_all | std::filesystem::perms::others_read);
    EXPECT_EQ(SingleInstance::lockPath(environment(":0"), ::getuid()), std::nullopt);
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
