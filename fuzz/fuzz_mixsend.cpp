// SPDX-License-Identifier: MIT
// Any bytes as a send-box line, under every form and type: no fault, and the bytes that would go
// out depend on the line alone.
#include "FuzzCheck.h"

#include "MixSend.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (int form = 0; form < 2; ++form) {
        for (int type = 0; type < 4; ++type) {
            const core::MixForm f = core::MixFormFromIndex(form);
            const core::MixType t = core::MixTypeFromIndex(type);
            const core::MixSendPlan a = core::PlanMixSend(text, f, t);
            const core::MixSendPlan b = core::PlanMixSend(text, f, t);
            FUZZ_CHECK(a.calls == b.calls);
            FUZZ_CHECK(a.cells == b.cells);
            FUZZ_CHECK(a.sent == b.sent && a.itemLimit == b.itemLimit);
            for (const core::MixTransmit &call : a.calls)
                FUZZ_CHECK(!call.bytes.empty());
        }
    }
    return 0;
}
