// Measures how long a command takes from its start until its first top-level window is mapped on the X
// display, and until the server first asks that window to paint itself (its first Expose).
//
// Usage: time_to_window [--input FILE] -- COMMAND [ARGS...]
//
// Prints one line, "MAP_MS EXPOSE_MS", each with 0.1 ms precision; EXPOSE_MS is "-" when the command mapped
// its window before this tool could ask for the window's Expose events. Exits 1 without printing anything
// when no window appears within 10 seconds or the command exits first, and 2 on a usage or setup error. The
// command and everything it started are terminated once the window is seen.
//
// Only a display without a window manager is supported: top-level windows must be children of the root
// window, as they are under a bare Xvfb.
#include "timed_command.h"
#include "window_bench.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <xcb/xcb.h>
// For reading a reply without blocking, so that no event waits behind it.
#include <xcb/xcbext.h>

namespace {

using TimedCommand::Child;
using TimedCommand::fail;

// Events carry only the low 16 bits of the sequence number of the last request the server had processed from
// this client when it generated them.
bool processedBy(const xcb_generic_event_t& event, unsigned int request) {
    return static_cast<uint16_t>(event.sequence - static_cast<uint16_t>(request)) < 0x8000;
}

// One window the tool has seen appear since the command started.
struct Candidate {
    unsigned int exposureRequest = 0; // sequence of the request that selected its Expose events
    bool exposureSelected = false;
    std::optional<double> mappedAt;
    bool exposureInEffectAtMap = false;
    std::optional<double> exposedAt;
    std::optional<unsigned int> pidRequest; // the pending read of its _NET_WM_PID
    std::optional<bool> ours;               // decided once that read answers
};

class Watcher {
  public:
    Watcher(xcb_connection_t* connection, xcb_atom_t pidAtom, Child& child)
        : connection_(connection), pidAtom_(pidAtom), child_(child) {}

    // Handles one event; returns the window whose timing is complete, if any.
    std::optional<xcb_window_t> handle(const xcb_generic_event_t& event, double at) {
        switch (event.response_type & 0x7f) {
        case XCB_CREATE_NOTIFY: {
            const auto& created = reinterpret_cast<const xcb_create_notify_event_t&>(event);
            // Asking for Expose as soon as the window exists is what gives this tool a chance to see the
            // first one: the server sends it only to clients that selected it before the window was mapped.
            const uint32_t mask = XCB_EVENT_MASK_EXPOSURE;
            const auto cookie =
                xcb_change_window_attributes(connection_, created.window, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(connection_);
            Candidate& candidate = candidates_[created.window];
            candidate.exposureRequest = cookie.sequence;
            candidate.exposureSelected = true;
            return std::nullopt;
        }
        case XCB_MAP_NOTIFY: {
            const auto& mapped = reinterpret_cast<const xcb_map_notify_event_t&>(event);
            Candidate& candidate = candidates_[mapped.window];
            if (candidate.mappedAt) {
                return std::nullopt;
            }
            candidate.mappedAt = at;
            candidate.exposureInEffectAtMap =
                candidate.exposureSelected && processedBy(event, candidate.exposureRequest);
            if (pidAtom_ == XCB_ATOM_NONE) {
                candidate.ours = true;
            } else {
                candidate.pidRequest =
                    xcb_get_property(connection_, 0, mapped.window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1)
                        .sequence;
                xcb_flush(connection_);
            }
            return complete(mapped.window);
        }
        case XCB_EXPOSE: {
            const auto& exposed = reinterpret_cast<const xcb_expose_event_t&>(event);
            const auto found = candidates_.find(exposed.window);
            if (found == candidates_.end() || found->second.exposedAt) {
                return std::nullopt;
            }
            found->second.exposedAt = at;
            return complete(exposed.window);
        }
        case XCB_DESTROY_NOTIFY: {
            const auto& destroyed = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
            const auto found = candidates_.find(destroyed.window);
            // A window that went before it could be timed is no answer; one mapped but never exposed still
            // is.
            if (found != candidates_.end() && found->second.mappedAt && found->second.ours.value_or(true)) {
                found->second.exposureInEffectAtMap = false;
                return complete(destroyed.window);
            }
            return std::nullopt;
        }
        default:
            // Errors (a window destroyed before the tool asked about it) and everything else are of no
            // interest.
            return std::nullopt;
        }
    }

    // Collects the answers to _NET_WM_PID reads that have arrived; returns a window whose timing is complete.
    std::optional<xcb_window_t> collectReplies() {
        for (auto& [window, candidate] : candidates_) {
            if (!candidate.pidRequest) {
                continue;
            }
            void* raw = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (xcb_poll_for_reply(connection_, *candidate.pidRequest, &raw, &error) == 0) {
                continue;
            }
            std::free(error);
            Reply<xcb_get_property_reply_t> reply(static_cast<xcb_get_property_reply_t*>(raw), &std::free);
            candidate.pidRequest.reset();
            if (reply && reply->format == 32 && xcb_get_property_value_length(reply.get()) == 4) {
                uint32_t pid = 0;
                std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
                candidate.ours = child_.owns(static_cast<pid_t>(pid));
            } else {
                // A window without the property cannot be told apart; on a private display it is the
                // command's.
                candidate.ours = reply != nullptr;
            }
            if (const auto done = complete(window)) {
                return done;
            }
        }
        return std::nullopt;
    }

    const Candidate& candidate(xcb_window_t window) const { return candidates_.at(window); }

  private:
    std::optional<xcb_window_t> complete(xcb_window_t window) const {
        const Candidate& candidate = candidates_.at(window);
        if (!candidate.mappedAt || !candidate.ours.value_or(false)) {
            return std::nullopt;
        }
        if (candidate.exposureInEffectAtMap && !candidate.exposedAt) {
            return std::nullopt;
        }
        return window;
    }

    xcb_connection_t* connection_;
    xcb_atom_t pidAtom_;
    Child& child_;
    std::unordered_map<xcb_window_t, Candidate> candidates_;
};

std::string formatMs(std::optional<double> ms) {
    if (!ms) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", *ms);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const TimedCommand::Options options =
        TimedCommand::parseOptions(argc, argv, "usage: time_to_window [--input FILE] -- COMMAND [ARGS...]");

    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        fail(2, "cannot connect to the display named by DISPLAY");
    }
    const xcb_screen_t* screen = Xcb::screen(connection, screenNumber);
    if (screen == nullptr) {
        fail(2, "the display has no such screen");
    }
    const xcb_window_t root = screen->root;
    const xcb_atom_t pidAtom = internAtom(connection, "_NET_WM_PID");
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    // Checked, so that the selection is known to be in force before the command starts.
    Reply<xcb_generic_error_t> selectError(
        xcb_request_check(
            connection, xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &rootMask)),
        &std::free);
    if (selectError) {
        fail(2, "cannot watch the root window");
    }

    Child child(options);
    Watcher watcher(connection, pidAtom, child);
    std::optional<xcb_window_t> found;
    const bool seen = child.awaitWindow(xcb_get_file_descriptor(connection), [&] {
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection)) {
            const double at = nowMs();
            Reply<xcb_generic_event_t> event(raw, &std::free);
            if (!found) {
                found = watcher.handle(*event, at);
            }
        }
        if (!found) {
            found = watcher.collectReplies();
        }
        if (!found && xcb_connection_has_error(connection)) {
            child.terminate();
            fail(2, "lost the connection to the display");
        }
        return found.has_value();
    });
    child.terminate();
    if (!seen) {
        return 1;
    }
    const Candidate& window = watcher.candidate(*found);
    const double start = child.startedAt();
    const std::optional<double> exposed =
        window.exposedAt ? std::optional<double>(*window.exposedAt - start) : std::nullopt;
    std::printf("%s %s\n", formatMs(*window.mappedAt - start).c_str(), formatMs(exposed).c_str());
    xcb_disconnect(connection);
    return 0;
}
