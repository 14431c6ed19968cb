// SPDX-License-Identifier: MIT
// Any settings-file content, then a read of every key the program uses and a write of all of
// them: no fault, and every line the program does not own is still there, byte for byte, in
// order.
#include "FuzzCheck.h"

#include "Ini.h"
#include "Settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace
{

std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A key line naming one of the program's keys, in whatever section: the program may rewrite
// it. Every other line is the user's.
bool MayBeOwned(std::string_view line)
{
    static const char *const keys[] = {"COMM",   "SPEED",   "WORDSIZE",  "PARITY",        "STOPBIT",
                                       "FLOW",   "RETCODE", "DELIMITER", "CharDelayTime", "CTRL_CHECK",
                                       "PAGE",   "HEXPAGE", "DECPAGE",   "CHARPAGE",      "TEXTPAGE",
                                       "HEIGHT", "WIDTH",   "TOP",       "LEFT"};
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[')
        return false;
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return false;
    const std::string_view key = Trim(t.substr(0, eq));
    return std::any_of(std::begin(keys), std::end(keys), [&](const char *k) {
        const std::string_view name(k);
        return name.size() == key.size() &&
               std::equal(name.begin(), name.end(), key.begin(), [](char a, char b) {
                   auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
                   return lower(a) == lower(b);
               });
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string before(reinterpret_cast<const char *>(data), size);
    platform::IniFile ini;
    ini.setText(before);
    core::Settings settings;
    settings.read(ini);
    settings.write(ini);
    const std::string after = ini.text();

    // A second read gives what was written: the file holds the settings it was given.
    core::Settings again;
    again.read(ini);
    FUZZ_CHECK(again.comm.ComNo == settings.comm.ComNo && again.comm.Speed == settings.comm.Speed);
    FUZZ_CHECK(again.geometry.width == settings.geometry.width && again.pageShown == settings.pageShown);

    const std::vector<std::string_view> out = Lines(after);
    std::size_t at = 0;
    for (std::string_view line : Lines(before)) {
        if (MayBeOwned(line))
            continue;
        while (at < out.size() && out[at] != line)
            ++at;
        FUZZ_CHECK(at < out.size()); // a line of the user's went missing or changed
        ++at;
    }
    return 0;
}
