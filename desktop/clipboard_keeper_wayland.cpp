// tessaly-clipboard-wayland: keeps a copied text on the Wayland clipboard after the program that copied it
// has exited.
//
// A Wayland compositor only takes a selection from a client that has focus, and the text is served by that
// client for as long as the selection lasts: both fail for a window that copies and then closes. This helper
// needs neither. It sets the selection through the compositor's data-control interface (the staged one where
// offered, else the unstable one of wlroots compositors and KWin), which needs no surface and no focus,
// prints "ready" once the compositor holds the selection, and leaves a detached server behind that writes
// the text to every paster until another selection replaces it, the seat goes away or the compositor does.
// Refusals match the X11 helper's: non-zero status, nothing printed, so that the caller can fall back.

#include "desktop/keeper_process.h"
#include "tessaly-data-control-ext-client.h"
#include "tessaly-data-control-wlr-client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <type_traits>
#include <unistd.h>
#include <vector>
#include <wayland-client.h>

namespace {

using Clock = std::chrono::steady_clock;

// A paster gets this long to take the whole text; one that stalls loses its copy, never the others theirs.
constexpr std::chrono::seconds transferTime{5};
// Each paste holds a descriptor until it is done; beyond this many at once new ones are refused at once.
constexpr std::size_t maxTransfers = 32;

/// One paste in progress: the pipe a paster reads from and how much of the text it has.
struct Transfer {
    int fd;
    std::size_t written;
    Clock::time_point deadline;
};

/// What the server does whichever interface set the selection: the text, the pastes and whether the
/// selection is still ours.
struct Server {
    std::string text;
    std::vector<Transfer> transfers;
    bool ended = false;

    ~Server() {
        for (const Transfer& transfer : transfers) {
            ::close(transfer.fd);
        }
    }

    void accept(int fd) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (ended || transfers.size() >= maxTransfers || flags < 0 ||
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            ::close(fd);
            return;
        }
        transfers.push_back({fd, 0, Clock::now() + transferTime});
    }

    /// Writes what each ready pipe takes; closes those that are done, broken or out of time.
    void advance(const std::vector<pollfd>& polled, Clock::time_point now) {
        for (std::size_t i = 0; i < transfers.size(); ++i) {
            Transfer& transfer = transfers[i];
            bool done = now >= transfer.deadline;
            if (!done && i < polled.size() && polled[i].revents != 0) {
                const ssize_t count =
                    ::write(transfer.fd, text.data() + transfer.written, text.size() - transfer.written);
                if (count > 0) {
                    transfer.written += static_cast<std::size_t>(count);
                }
                done = transfer.written == text.size() || (count < 0 && errno != EAGAIN && errno != EINTR);
            }
            if (done) {
                ::close(transfer.fd);
                transfer.fd = -1;
            }
        }
        std::erase_if(transfers, [](const Transfer& transfer) { return transfer.fd < 0; });
    }

    /// Milliseconds until the first transfer runs out of time, -1 when none is pending.
    int timeout(Clock::time_point now) const {
        if (transfers.empty()) {
            return -1;
        }
        const auto first =
            std::min_element(transfers.begin(), transfers.end(), [](const auto& a, const auto& b) {
                return a.deadline < b.deadline;
            })->deadline;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - now).count();
        return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
    }
};

/// The generated names of one data-control interface family; both share one wire.
struct Ext {
    using Manager = ext_data_control_manager_v1;
    using Device = ext_data_control_device_v1;
    using Source = ext_data_control_source_v1;
    using Offer = ext_data_control_offer_v1;
    using DeviceListener = ext_data_control_device_v1_listener;
    using SourceListener = ext_data_control_source_v1_listener;
    static constexpr const wl_interface* manager = &ext_data_control_manager_v1_interface;
    static constexpr auto createSource = ext_data_control_manager_v1_create_data_source;
    static constexpr auto getDevice = ext_data_control_manager_v1_get_data_device;
    static constexpr auto destroyManager = ext_data_control_manager_v1_destroy;
    static constexpr auto offer = ext_data_control_source_v1_offer;
    static constexpr auto addSourceListener = ext_data_control_source_v1_add_listener;
    static constexpr auto destroySource = ext_data_control_source_v1_destroy;
    static constexpr auto setSelection = ext_data_control_device_v1_set_selection;
    static constexpr auto addDeviceListener = ext_data_control_device_v1_add_listener;
    static constexpr auto destroyDevice = ext_data_control_device_v1_destroy;
    static constexpr auto destroyOffer = ext_data_control_offer_v1_destroy;
};

struct Wlr {
    using Manager = zwlr_data_control_manager_v1;
    using Device = zwlr_data_control_device_v1;
    using Source = zwlr_data_control_source_v1;
    using Offer = zwlr_data_control_offer_v1;
    using DeviceListener = zwlr_data_control_device_v1_listener;
    using SourceListener = zwlr_data_control_source_v1_listener;
    static constexpr const wl_interface* manager = &zwlr_data_control_manager_v1_interface;
    static constexpr auto createSource = zwlr_data_control_manager_v1_create_data_source;
    static constexpr auto getDevice = zwlr_data_control_manager_v1_get_data_device;
    static constexpr auto destroyManager = zwlr_data_control_manager_v1_destroy;
    static constexpr auto offer = zwlr_data_control_source_v1_offer;
    static constexpr auto addSourceListener = zwlr_data_control_source_v1_add_listener;
    static constexpr auto destroySource = zwlr_data_control_source_v1_destroy;
    static constexpr auto setSelection = zwlr_data_control_device_v1_set_selection;
    static constexpr auto addDeviceListener = zwlr_data_control_device_v1_add_listener;
    static constexpr auto destroyDevice = zwlr_data_control_device_v1_destroy;
    static constexpr auto destroyOffer = zwlr_data_control_offer_v1_destroy;
};

/// The seat and the data-control managers the compositor announces (their global names; 0 when absent).
struct Globals {
    uint32_t seat = 0;
    uint32_t ext = 0;
    uint32_t wlr = 0;
};

void onGlobal(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t) {
    auto& globals = *static_cast<Globals*>(data);
    const std::string_view announced = interface;
    if (announced == wl_seat_interface.name && globals.seat == 0) {
        globals.seat = name;
    } else if (announced == Ext::manager->name) {
        globals.ext = name;
    } else if (announced == Wlr::manager->name) {
        globals.wlr = name;
    }
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

constexpr wl_registry_listener registryListener{onGlobal, onGlobalRemove};

/// The selection set through one interface family, and everything made for it, which it destroys again.
template <typename Api> class Selection {
  public:
    Selection(wl_registry* registry, const Globals& globals, uint32_t managerName, Server& server)
        : server_(server),
          seat_(static_cast<wl_seat*>(wl_registry_bind(registry, globals.seat, &wl_seat_interface, 1))),
          manager_(
              static_cast<typename Api::Manager*>(wl_registry_bind(registry, managerName, Api::manager, 1))),
          source_(Api::createSource(manager_)), device_(Api::getDevice(manager_, seat_)) {
        for (const std::string_view type : Keeper::textTypes(server.text)) {
            Api::offer(source_, std::string(type).c_str());
        }
        Api::addSourceListener(source_, &sourceListener, this);
        Api::addDeviceListener(device_, &deviceListener(), this);
        Api::setSelection(device_, source_);
    }
    ~Selection() {
        dropOffers();
        Api::destroyDevice(device_);
        Api::destroySource(source_);
        Api::destroyManager(manager_);
        wl_seat_destroy(seat_);
    }
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

  private:
    static Selection& of(void* data) { return *static_cast<Selection*>(data); }

    static void onSend(void* data, typename Api::Source*, const char*, int32_t fd) {
        of(data).server_.accept(fd);
    }
    static void onCancelled(void* data, typename Api::Source*) { of(data).server_.ended = true; }
    static void onDataOffer(void* data, typename Api::Device*, typename Api::Offer* offer) {
        of(data).offers_.push_back(offer);
    }
    // Each announced offer is named by the (primary) selection event that follows it and by nothing after;
    // the helper never reads them, so they go at once.
    static void onSelection(void* data, typename Api::Device*, typename Api::Offer*) {
        of(data).dropOffers();
    }
    static void onFinished(void* data, typename Api::Device*) { of(data).server_.ended = true; }

    static constexpr typename Api::SourceListener sourceListener{onSend, onCancelled};
    static const typename Api::DeviceListener& deviceListener() {
        if constexpr (std::is_same_v<Api, Ext>) {
            static constexpr
                typename Api::DeviceListener listener{onDataOffer, onSelection, onFinished, onSelection};
            return listener;
        } else {
            static constexpr typename Api::DeviceListener listener{onDataOffer, onSelection, onFinished};
            return listener;
        }
    }

    void dropOffers() {
        for (typename Api::Offer* offer : offers_) {
            Api::destroyOffer(offer);
        }
        offers_.clear();
    }

    Server& server_;
    wl_seat* seat_;
    typename Api::Manager* manager_;
    typename Api::Source* source_;
    typename Api::Device* device_;
    std::vector<typename Api::Offer*> offers_;
};

/// Readies the display for one poll: false when the connection broke.
bool prepareRead(wl_display* display) {
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) {
            return false;
        }
    }
    return true;
}

/// Serves pastes from one poll loop with the compositor's connection, so that no paster can hold up another
/// or the compositor's requests. Once the selection is gone, the pastes under way are finished first.
void serve(wl_display* display, Server& server) {
    const int displayFd = wl_display_get_fd(display);
    bool listening = true;
    for (;;) {
        // Reading what is queued may end the selection; a failed flush means the connection broke, while a
        // full socket buffer is waited out like any other.
        listening = listening && !server.ended && prepareRead(display);
        const bool flushed = listening && wl_display_flush(display) >= 0;
        if (listening && (server.ended || (!flushed && errno != EAGAIN))) {
            wl_display_cancel_read(display);
            listening = false;
        }
        if (!listening && server.transfers.empty()) {
            return;
        }
        std::vector<pollfd> polled;
        for (const Transfer& transfer : server.transfers) {
            polled.push_back({transfer.fd, POLLOUT, 0});
        }
        const std::size_t pastes = polled.size();
        if (listening) {
            polled.push_back({displayFd, static_cast<short>(flushed ? POLLIN : POLLIN | POLLOUT), 0});
        }
        const bool polledAll = ::poll(polled.data(), polled.size(), server.timeout(Clock::now())) >= 0;
        if (!polledAll && errno != EINTR) {
            if (listening) {
                wl_display_cancel_read(display);
            }
            return;
        }
        if (listening) {
            if (polledAll && (polled.back().revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
                listening = wl_display_read_events(display) == 0;
            } else {
                wl_display_cancel_read(display);
            }
            listening = listening && wl_display_dispatch_pending(display) >= 0;
        }
        polled.resize(pastes);
        server.advance(polled, Clock::now());
    }
}

/// Sets the selection through `Api` and, once the compositor holds it, leaves the server behind. The status
/// of this process: only a server or a refusal returns.
template <typename Api>
int keep(wl_display* display, wl_registry* registry, const Globals& globals, uint32_t managerName,
         Server& server) {
    Selection<Api> selection(registry, globals, managerName, server);
    // A selection refused or at once replaced comes back cancelled within this round trip.
    if (wl_display_roundtrip(display) < 0 || server.ended || !Keeper::becomeServer()) {
        return 1;
    }
    serve(display, server);
    return 0;
}

int run(wl_display* display, Server& server) {
    Globals globals;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &globals);
    int status = 1;
    if (wl_display_roundtrip(display) >= 0 && globals.seat != 0) {
        if (globals.ext != 0) {
            status = keep<Ext>(display, registry, globals, globals.ext, server);
        } else if (globals.wlr != 0) {
            status = keep<Wlr>(display, registry, globals, globals.wlr, server);
        }
    }
    wl_registry_destroy(registry);
    return status;
}

} // namespace

int main(int argc, char**) {
    auto text = Keeper::takeText(argc);
    if (!text) {
        return text.error();
    }

    // Only the compositor WAYLAND_DISPLAY names: without it the library would try a default socket, and it
    // prefers a socket handed down by number, which takeText closed. One thread: nothing else reads the
    // environment meanwhile.
    const char* name = std::getenv("WAYLAND_DISPLAY"); // NOLINT(concurrency-mt-unsafe)
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    if (name == nullptr || *name == '\0' || ::unsetenv("WAYLAND_SOCKET") != 0) {
        return 1;
    }
    wl_display* display = wl_display_connect(name);
    if (display == nullptr) {
        return 1;
    }
    Server server{std::move(*text), {}, false};
    const int status = run(display, server);
    wl_display_disconnect(display);
    return status;
}
