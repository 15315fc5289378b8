#include "app/child_reaper.h"
#include "app/launch.h"
#include "app/menu_bar.h"
#include "app/single_instance.h"
#include "app/tray_display.h"
#include "tests/temp_dir.h"

#include <chrono>
#include <deque>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <thread>

namespace {

using Presence::Report;
using TrayDisplayRules::forReport;

TEST(TrayDisplayTest, FollowsTheLatestReportAlone) {
    const std::string dash = "\u2014";
    const std::string notRunning = "Companion not running";
    struct Case {
        const char* json; // none: the probe gave nothing
        TrayDisplay shown;
    };
    const Case cases[] = {
        {nullptr,
         {TraySymbol::offline, notRunning, notRunning, notRunning,
          "Start the companion from your MCP client.", "Connect to Chrome", false}},
        {"{}", {TraySymbol::offline, notRunning, notRunning, notRunning, dash, "Connect to Chrome", false}},
        {R"({"state":"enabled","title":"Ready"})",
         {TraySymbol::connected, "Ready", "Ready", "Ready", dash, "Connect to Chrome", false}},
        {R"({"state":"disabled","title":"No browser","action":"Pair <b>now</b> & go","detail":"d"})",
         {TraySymbol::attention, "No browser", "No browser", "No browser", "d", "Pair <b>now</b> & go",
          true}},
        {R"({"state":"Enabled","title":"Ready"})",
         {TraySymbol::offline, "Ready", "Ready", "Ready", dash, "Connect to Chrome", false}},
        {R"({"state":1,"title":2,"detail":"","version":"0.4"})",
         {TraySymbol::offline, notRunning + " (v0.4)", notRunning, notRunning, dash, "Connect to Chrome",
          false}},
        {R"({"state":"enabled","title":"Ready","version":"1.2"})",
         {TraySymbol::connected, "Ready (v1.2)", "Ready", "Ready", dash, "Connect to Chrome", false}},
    };
    for (const Case& c : cases) {
        const auto report = c.json != nullptr ? Presence::parse(c.json) : std::nullopt;
        EXPECT_EQ(forReport(report), c.shown) << (c.json != nullptr ? c.json : "no report");
    }
    EXPECT_EQ(TrayDisplayRules::initial(),
              (TrayDisplay{std::nullopt, "", "", "Checking\u2026", dash, "Connect to Chrome", true}));
}

TEST(TrayDisplayTest, SnippetNamesTheCommandAsValidJson) {
    EXPECT_EQ(TrayDisplayRules::configurationSnippet("/opt/t/tessaly-mcp"),
              "{\n  \"mcpServers\": {\n    \"tessaly\": {\n      \"command\": \"/opt/t/tessaly-mcp\"\n    "
              "}\n  }\n}");
    const std::string odd = "/opt/a \"b\" c\\d/tessaly-mcp";
    EXPECT_EQ(nlohmann::json::parse(
                  TrayDisplayRules::configurationSnippet(odd))["mcpServers"]["tessaly"]["command"],
              odd);
}

TEST(PresenceProbeTest, ReadsOneObjectFromARealScript) {
    TempDir dir;
    const std::pair<std::string, std::optional<Report>> cases[] = {
        {R"(printf '{"state":"enabled","title":"T","extra":[1]}')", Report{"enabled", "T", {}, {}, {}}},
        {R"(printf '{"state":"enabled"} trailing')", std::nullopt},
        {R"(printf '[{"state":"enabled"}]')", std::nullopt},
        {"true", std::nullopt},
        {R"(printf '{"title":"T"}'; exit 3)", Report{{}, "T", {}, {}, {}}},
        // A valid object, but the output stays open past the bound.
        {R"(printf '{"state":"enabled"}'; exec sleep 30)", std::nullopt},
    };
    for (const auto& [script, report] : cases) {
        ConnectProbeHandle handle;
        const auto path = dir.write("presence.sh", script + "\n");
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Presence::probe("/bin/sh", path, handle), report) << script;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(9)) << script;
    }
}

/// A desktop whose event loop is a script: each turn delivers posted work, then runs the next step.
struct FakeTray {
    std::vector<TrayDisplay> shown;
    std::vector<std::string> copied;
    std::function<void()> tick;
    std::mutex lock;
    std::deque<std::function<void()>> posted;
    std::vector<std::function<void(FakeTray&)>> steps;
    bool quit = false;

    void deliver() {
        // The worker answers on its own thread; a turn waits for its answer so that steps are deterministic.
        for (int spins = 0; spins < 2000; ++spins) {
            std::unique_lock guard(lock);
            if (!posted.empty()) {
                auto work = std::move(posted.front());
                posted.pop_front();
                guard.unlock();
                work();
                return;
            }
            guard.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    Desktop desktop() {
        Desktop d;
        d.createTray = [this](const TrayDisplay& display, const ConnectMenuTarget&) {
            shown.push_back(display);
            return [this](const TrayDisplay& next) { shown.push_back(next); };
        };
        d.trayAvailable = [] { return true; };
        d.postToMain = [this](std::function<void()> work) {
            std::lock_guard guard(lock);
            posted.push_back(std::move(work));
        };
        d.startTimer = [this](double seconds, std::function<void()> each) {
            EXPECT_EQ(seconds, 5.0);
            tick = std::move(each);
        };
        d.copyText = [this](const std::string& text) { copied.push_back(text); };
        d.runUntilQuit = [this] {
            for (auto& step : steps) {
                if (!quit) {
                    step(*this);
                }
            }
        };
        d.quit = [this] { quit = true; };
        return d;
    }
};

TEST(MenuBarTest, RefreshesOneProbeAtATimeAndStopsShowingAfterQuit) {
    FakeTray tray;
    std::atomic<int> probes{0};
    std::atomic<bool> release{false};
    MenuBar::Environment environment;
    environment.paths = MenuBar::Paths::beside("/opt/t");
    environment.probe = [&](ConnectProbeHandle& handle) -> std::optional<Report> {
        const int number = ++probes;
        while (number == 2 && !release && !handle.isCancelled()) {
            std::this_thread::yield();
        }
        return Report{"enabled", "probe " + std::to_string(number), {}, {}, {}};
    };
    tray.steps = {
        [](FakeTray& t) { t.deliver(); }, // the first probe's answer
        [](FakeTray& t) { t.tick(); },    // the second probe starts and blocks
        [&](FakeTray&) {
            while (probes < 2) {
                std::this_thread::yield();
            }
        },
        [](FakeTray& t) { t.tick(); }, // dropped: one is in flight
        [&](FakeTray&) { ConnectMenuTarget::shared().copyConfig(); },
        [&](FakeTray&) { ConnectMenuTarget::shared().quit(); }, // cancels the blocked probe
    };
    environment.desktop = tray.desktop();
    EXPECT_EQ(MenuBar::run(environment), 0);
    tray.deliver(); // the cancelled probe's answer arrives after Quit: nothing more is shown
    EXPECT_EQ(probes, 2);
    ASSERT_EQ(tray.shown.size(), 2u);
    EXPECT_EQ(tray.shown[0], TrayDisplayRules::initial());
    EXPECT_EQ(tray.shown[1].statusLine, "probe 1");
    EXPECT_EQ(tray.copied,
              std::vector<std::string>{TrayDisplayRules::configurationSnippet("/opt/t/tessaly-mcp")});
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
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    ChildReaper reaper;
    const auto before = threads();
    for (int i = 0; i < 50; ++i) {
        const int pid = Launch::startDetached("/bin/sh", {"-c", i % 2 ? "exit 3" : "sleep 0.05"});
        ASSERT_GT(pid, 0);
        reaper.adopt(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reaper.watching() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(reaper.watching(), 0u);
    EXPECT_EQ(threads(), before);
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child was left unreaped";
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
