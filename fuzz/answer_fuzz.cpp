// The verifier script's output is read as a health report or a refusal, and the version it reports ends up
// in the check line: no output may crash the reader or break that line.
#include "app/check_mode.h"
#include "connect/verifier.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string output(reinterpret_cast<const char*>(data), size);
    static const ConnectDraft draft{5000, boost::urls::url("http://127.0.0.1:5000/pair#token=t")};
    const auto health =
        ConnectVerifier::verify(draft, {"node", "verify.js"}, 8.0, nullptr,
                                [&](const std::string&, const std::vector<std::string>&, const std::string&,
                                    double) { return std::optional(output); });
    if (health) {
        const std::string line = CheckMode::line({ConnectOutcome::readyToConnect, health->version});
        if (line.find('\n') != line.size() - 1) {
            std::abort();
        }
    }
    return 0;
}
