// SPDX-License-Identifier: MIT
// CP932 both ways: no fault on any bytes or text, and what a text is sent as is stable: the text
// that comes back from its bytes is sent as the same bytes (a character with two forms, such as
// U+2016 and U+2225, goes out as the code page's one form).
#include "FuzzCheck.h"

#include "Cp932.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);

    // Bytes as the pages decode them.
    const std::string text = platform::Cp932ToUtf8(bytes);
    if (const std::optional<std::string> back = platform::Utf8ToCp932(text))
        FUZZ_CHECK(platform::Cp932ToUtf8(*back) == text);

    // The same bytes as typed text.
    if (const std::optional<std::string> sent = platform::Utf8ToCp932(bytes)) {
        const std::optional<std::string> again = platform::Utf8ToCp932(platform::Cp932ToUtf8(*sent));
        FUZZ_CHECK(again && *again == *sent);
    }
    return 0;
}
