// tessaly-clipboard: keeps a copied text on the X11 clipboard after the program that copied it has exited.
//
// On X11 the clipboard is a promise by a live client, not a stored value: the text vanishes with its owner
// unless a clipboard manager takes it. The setup window exits right after copying, so the copy is handed to
// this small process instead. It reads the text from standard input, takes CLIPBOARD, prints "ready" and
// leaves a detached server behind that answers requests for the text until a clipboard manager has saved it,
// another program takes the clipboard, or the display goes away. Any refusal exits non-zero and prints
// nothing, so that the caller can fall back to its own clipboard.

#include "desktop/keeper_process.h"
#include "desktop/xcb_calls.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

using Xcb::reply;

// MULTIPLE requests are lists of (target, property) pairs; a clipboard manager asks for a handful.
constexpr uint32_t maxMultipleWords = 1024;

enum AtomId : std::size_t {
    clipboardAtom,
    managerAtom,
    saveTargetsAtom,
    targetsAtom,
    timestampAtom,
    multipleAtom,
    textAtom,
    keeperAtom,
    atomCount,
};

constexpr std::array<std::string_view, atomCount> atomNames = {
    "CLIPBOARD", "CLIPBOARD_MANAGER", "SAVE_TARGETS", "TARGETS",
    "TIMESTAMP", "MULTIPLE",          "TEXT",         "_TESSALY_CLIPBOARD",
};

// Typed stand-ins for the protocol's enumerators, which do not mix with plain values in a conditional.
constexpr xcb_atom_t noAtom = XCB_ATOM_NONE;
constexpr xcb_window_t noWindow = XCB_WINDOW_NONE;
constexpr xcb_atom_t stringAtom = XCB_ATOM_STRING;

struct Clipboard {
    xcb_connection_t* connection;
    xcb_window_t window;
    std::vector<xcb_atom_t> atoms;
    std::string text;
    // The targets the text itself is offered as (Keeper::textTypes).
    std::vector<xcb_atom_t> textTargets;
    xcb_timestamp_t acquired;

    xcb_atom_t operator[](AtomId id) const { return atoms[id]; }
};

// The atoms this helper uses and those of the text's targets, all in one round trip.
bool internAtoms(Clipboard& board) {
    const auto types = Keeper::textTypes(board.text);
    std::vector<std::string_view> names(atomNames.begin(), atomNames.end());
    names.insert(names.end(), types.begin(), types.end());
    auto atoms = Xcb::internAtoms(board.connection, names);
    if (std::find(atoms.begin(), atoms.end(), noAtom) != atoms.end()) {
        return false;
    }
    board.textTargets.assign(atoms.begin() + atomCount, atoms.end());
    atoms.resize(atomCount);
    board.atoms = std::move(atoms);
    return true;
}

bool acquire(Clipboard& board) {
    // Ownership must carry a real server time: a CurrentTime owner cannot tell stale requests from current
    // ones.
    const auto time = Xcb::serverTime(board.connection, board.window, board[keeperAtom]);
    if (!time) {
        return false;
    }
    board.acquired = *time;
    xcb_set_selection_owner(board.connection, board.window, board[clipboardAtom], board.acquired);
    return Xcb::selectionOwner(board.connection, board[clipboardAtom]) == board.window;
}

void putProperty(const Clipboard& board, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                 uint8_t format, uint32_t length, const void* data) {
    xcb_change_property(board.connection, XCB_PROP_MODE_REPLACE, window, property, type, format, length,
                        data);
}

// Writes the text (or what describes it) as `target` into `property` of the requestor; false refuses.
bool convert(const Clipboard& board, xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property) {
    if (target == board[targetsAtom]) {
        std::vector<xcb_atom_t> targets{board[targetsAtom], board[timestampAtom], board[multipleAtom]};
        targets.insert(targets.end(), board.textTargets.begin(), board.textTargets.end());
        putProperty(board, requestor, property, XCB_ATOM_ATOM, 32, static_cast<uint32_t>(targets.size()),
                    targets.data());
        return true;
    }
    if (target == board[timestampAtom]) {
        putProperty(board, requestor, property, XCB_ATOM_INTEGER, 32, 1, &board.acquired);
        return true;
    }
    for (const xcb_atom_t offered : board.textTargets) {
        if (target != offered) {
            continue;
        }
        // TEXT lets the owner choose the encoding; it is only offered for ASCII, where STRING is exact.
        const xcb_atom_t type = target == board[textAtom] ? stringAtom : target;
        putProperty(board, requestor, property, type, 8, static_cast<uint32_t>(board.text.size()),
                    board.text.data());
        return true;
    }
    return false;
}

// MULTIPLE names a property of the requestor holding (target, property) pairs; each conversion that fails has
// its property replaced by None in the list written back.
bool convertMultiple(const Clipboard& board, xcb_window_t requestor, xcb_atom_t property) {
    const auto pairs =
        reply(xcb_get_property_reply(board.connection,
                                     xcb_get_property(board.connection, 0, requestor, property,
                                                      XCB_GET_PROPERTY_TYPE_ANY, 0, maxMultipleWords),
                                     nullptr));
    if (!pairs || pairs->format != 32 || pairs->bytes_after != 0) {
        return false;
    }
    const int words = xcb_get_property_value_length(pairs.get()) / 4;
    if (words == 0 || words % 2 != 0) {
        return false;
    }
    const auto* value = static_cast<const xcb_atom_t*>(xcb_get_property_value(pairs.get()));
    std::vector<xcb_atom_t> answered(value, value + words);
    for (std::size_t i = 0; i < answered.size(); i += 2) {
        const bool converted = answered[i] != board[multipleAtom] && answered[i + 1] != noAtom &&
                               convert(board, requestor, answered[i], answered[i + 1]);
        if (!converted) {
            answered[i + 1] = noAtom;
        }
    }
    putProperty(board, requestor, property, pairs->type, 32, static_cast<uint32_t>(answered.size()),
                answered.data());
    return true;
}

bool earlier(xcb_timestamp_t a, xcb_timestamp_t b) {
    // Server time wraps after about 49 days.
    return static_cast<int32_t>(a - b) < 0;
}

void answer(const Clipboard& board, const xcb_selection_request_event_t& request) {
    // Obsolete requestors name no property and expect the answer in one named after the target.
    const xcb_atom_t property = request.property == noAtom ? request.target : request.property;
    bool converted = false;
    const bool current = request.time == XCB_CURRENT_TIME || !earlier(request.time, board.acquired);
    if (request.selection == board[clipboardAtom] && current) {
        converted = request.target == board[multipleAtom]
                        ? convertMultiple(board, request.requestor, property)
                        : convert(board, request.requestor, request.target, property);
    }
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = converted ? property : noAtom;
    xcb_send_event(board.connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&notify));
}

// A clipboard manager that saves the text lets this process end; the list names what it should keep.
void offerToManager(const Clipboard& board) {
    if (Xcb::selectionOwner(board.connection, board[managerAtom]) == noWindow) {
        return;
    }
    putProperty(board, board.window, board[keeperAtom], XCB_ATOM_ATOM, 32,
                static_cast<uint32_t>(board.textTargets.size()), board.textTargets.data());
    xcb_convert_selection(board.connection, board.window, board[managerAtom], board[saveTargetsAtom],
                          board[keeperAtom], board.acquired);
}

void serve(const Clipboard& board) {
    offerToManager(board);
    xcb_flush(board.connection);
    // A null event means the connection broke: the display is gone and the clipboard with it.
    while (const auto event = reply(xcb_wait_for_event(board.connection))) {
        switch (event->response_type & 0x7f) {
        case XCB_SELECTION_REQUEST:
            answer(board, *reinterpret_cast<const xcb_selection_request_event_t*>(event.get()));
            break;
        case XCB_SELECTION_CLEAR:
            if (reinterpret_cast<const xcb_selection_clear_event_t*>(event.get())->selection ==
                board[clipboardAtom]) {
                return;
            }
            break;
        case XCB_SELECTION_NOTIFY: {
            const auto* notify = reinterpret_cast<const xcb_selection_notify_event_t*>(event.get());
            if (notify->selection == board[managerAtom] && notify->target == board[saveTargetsAtom] &&
                notify->property != noAtom) {
                return;
            }
            break;
        }
        default:
            // Errors here come from requestors that vanished during a conversion; they concern nobody else.
            break;
        }
        xcb_flush(board.connection);
    }
}

} // namespace

int main(int argc, char**) {
    auto text = Keeper::takeText(argc);
    if (!text) {
        return text.error();
    }

    int screenIndex = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenIndex);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return 1;
    }
    const xcb_screen_t* screen = Xcb::screen(connection, screenIndex);
    Clipboard board{connection, xcb_generate_id(connection), {}, std::move(*text), {}, XCB_CURRENT_TIME};
    if (!screen || !internAtoms(board)) {
        xcb_disconnect(connection);
        return 1;
    }
    // Input-only and never mapped: the window exists to own the selection, never to be seen.
    const uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection, 0, board.window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &eventMask);
    if (!acquire(board) || !Keeper::becomeServer()) {
        xcb_disconnect(connection);
        return 1;
    }
    serve(board);
    xcb_disconnect(connection);
    return 0;
}
