// The session file is written by another program: its content, and the pairing URL in it, must never crash
// or hang the reader, and whatever it accepts must keep the pairing page's rules.
#include "connect/session.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto draft = ConnectSession::parseDraft({reinterpret_cast<const char*>(data), size});
    if (draft) {
        if (!ConnectSession::allowedPortRange.contains(draft->port) || draft->pairURL.host() != "127.0.0.1" ||
            draft->pairURL.port_number() != draft->port) {
            std::abort();
        }
        // The token goes to the verifier as one line of input.
        const auto token = ConnectSession::token(draft->pairURL);
        if (token && (token->empty() || token->find('\n') != std::string::npos)) {
            std::abort();
        }
    }
    return 0;
}
