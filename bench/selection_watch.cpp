// Tells when the compositor's clipboard selection changes, from outside the programs that change it: a
// data-control client (the unstable interface of wlroots compositors, as sway 1.7 offers it) that the
// compositor tells about every new selection as it sets it, with no process started per change.
//
// Usage: selection_watch
//
// Prints "ready" once it follows the selection (the one already set is not reported), then one line per new
// selection: CLOCK_MONOTONIC in seconds, as Python's time.monotonic() reads it, when the compositor's news
// was dispatched, followed by " empty" when the selection was cleared. Runs until the compositor's connection
// ends; exits 2 when there is no compositor or it offers no data control.
#include "clock.h"
#include "tessaly-data-control-wlr-client.h"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>
#include <wayland-client.h>

namespace {

struct Watch {
    uint32_t seat = 0;
    uint32_t manager = 0;
    std::vector<zwlr_data_control_offer_v1*> offers;
    bool ready = false;
    bool finished = false;
};

void onGlobal(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t) {
    auto& watch = *static_cast<Watch*>(data);
    const std::string_view announced = interface;
    if (announced == wl_seat_interface.name && watch.seat == 0) {
        watch.seat = name;
    } else if (announced == zwlr_data_control_manager_v1_interface.name) {
        watch.manager = name;
    }
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

void onDataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    static_cast<Watch*>(data)->offers.push_back(offer);
}

void onSelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
    const double at = nowMs();
    auto& watch = *static_cast<Watch*>(data);
    // Nothing is ever read from an offer; each is named by this one event and by nothing after it.
    for (zwlr_data_control_offer_v1* announced : watch.offers) {
        zwlr_data_control_offer_v1_destroy(announced);
    }
    watch.offers.clear();
    if (watch.ready) {
        std::printf("%.6f%s\n", at / 1e3, offer == nullptr ? " empty" : "");
        std::fflush(stdout);
    }
}

void onFinished(void* data, zwlr_data_control_device_v1*) {
    static_cast<Watch*>(data)->finished = true;
}

constexpr wl_registry_listener registryListener{onGlobal, onGlobalRemove};
constexpr zwlr_data_control_device_v1_listener deviceListener{onDataOffer, onSelection, onFinished};

} // namespace

int main() {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        std::fputs("selection_watch: no compositor named by WAYLAND_DISPLAY\n", stderr);
        return 2;
    }
    Watch watch;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &watch);
    if (wl_display_roundtrip(display) < 0 || watch.seat == 0 || watch.manager == 0) {
        std::fputs("selection_watch: the compositor offers no seat or no data control\n", stderr);
        return 2;
    }
    auto* seat = static_cast<wl_seat*>(wl_registry_bind(registry, watch.seat, &wl_seat_interface, 1));
    auto* manager = static_cast<zwlr_data_control_manager_v1*>(
        wl_registry_bind(registry, watch.manager, &zwlr_data_control_manager_v1_interface, 1));
    zwlr_data_control_device_v1* device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
    zwlr_data_control_device_v1_add_listener(device, &deviceListener, &watch);
    // The selection already set is announced within this round trip.
    if (wl_display_roundtrip(display) < 0) {
        return 2;
    }
    watch.ready = true;
    std::puts("ready");
    std::fflush(stdout);
    while (!watch.finished && wl_display_dispatch(display) >= 0) {
    }
    wl_display_disconnect(display);
    return 0;
}
