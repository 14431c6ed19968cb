// SPDX-License-Identifier: MIT
// The send box: the string send's bytes and echo, the send history and the control-character
// buttons.
#include "CtrlButtons.h"
#include "MixSend.h"
#include "SendCells.h"
#include "SendHistory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace core;

namespace
{

std::string Line(const EchoCells &cells, int page)
{
    return std::string(kOutTag) + cells[static_cast<std::size_t>(page)];
}

TEST(StringSend, BytesAndEcho)
{
    const std::string bytes = StringSendBytes("AB", 2);
    EXPECT_EQ(bytes, "AB\r\n");
    const auto cells = StringSendCells(bytes);
    EXPECT_EQ(Line(cells, kPageHex), "[OUT]   41   42   0D   0A  ");
    EXPECT_EQ(Line(cells, kPageDec), "[OUT]    65   66   13   10 ");
    EXPECT_EQ(Line(cells, kPageChar), "[OUT]    A   B  _cr _lf");
    EXPECT_EQ(Line(cells, kPageText), "[OUT]  AB\r\n");

    EXPECT_EQ(StringSendBytes("", 1), "\r");
    EXPECT_EQ(Line(StringSendCells("\r"), kPageHex), "[OUT]   0D  ");
    EXPECT_EQ(StringSendBytes("", 0), "");
    EXPECT_EQ(Line(StringSendCells(""), kPageChar), "[OUT]  ");
}

TEST(StringSend, Delimiters)
{
    const std::vector<std::pair<int, std::string>> rows = {
        {0, "a b "}, {1, "a b \r"}, {2, "a b \r\n"}, {-1, "a b "}, {3, "a b "}};
    for (const auto &[index, bytes] : rows)
        EXPECT_EQ(StringSendBytes("a b ", index), bytes) << index;
}

TEST(StringSend, LongTextGoesWholeWithItsDelimiter)
{
    for (const std::size_t length : {998u, 999u, 1000u, 70000u}) {
        const std::string text(length, 'q');
        const std::string bytes = StringSendBytes(text, 2);
        EXPECT_EQ(bytes.size(), length + 2);
        EXPECT_EQ(bytes.substr(length), "\r\n");
        EXPECT_EQ(StringSendCells(bytes)[kPageHex].size(), (length + 2) * 5);
    }
    // zero bytes are sent, not taken as the end of the text
    EXPECT_EQ(StringSendBytes(std::string("a\0b", 3), 1), std::string("a\0b\r", 4));
}

// One byte's cells in each sender: they differ on the CHAR and TEXT pages.
TEST(SendCells, PerByte)
{
    struct Row {
        unsigned char b;
        std::string hex, dec, charString, charMix, textString, textMix;
    };
    const std::vector<Row> rows = {
        {0x00, " 00  ", "   0 ", " _nu", " _nu", std::string(1, '\0'), "."},
        {0x07, " 07  ", "   7 ", " _bl", " _bl", "\x07", "."},
        {0x1B, " 1B  ", "  27 ", " _ec", " _ec", "\x1b", "."},
        {0x20, " 20  ", "  32 ", "    ", " _sp", " ", " "},
        {0x41, " 41  ", "  65 ", "  A ", "  A ", "A", "A"},
        {0x7F, " 7F  ", " 127 ", "  \x7f ", "  \x7f ", "\x7f", "\x7f"},
        {0x82, " 82  ", " 130 ", "  \x82 ", "  \x82 ", "\x82", "\x82"},
        {0xFF, " FF  ", " 255 ", "  \xff ", "  \xff ", "\xff", "\xff"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.b));
        EchoCells s, m;
        AppendStringSendCells(s, row.b);
        AppendMixSendCells(m, row.b);
        EXPECT_EQ(s[kPageHex], row.hex);
        EXPECT_EQ(m[kPageHex], row.hex);
        EXPECT_EQ(s[kPageDec], row.dec);
        EXPECT_EQ(m[kPageDec], row.dec);
        EXPECT_EQ(s[kPageChar], row.charString);
        EXPECT_EQ(m[kPageChar], row.charMix);
        EXPECT_EQ(s[kPageText], row.textString);
        EXPECT_EQ(m[kPageText], row.textMix);
    }
}

std::vector<std::string> Push(std::vector<std::string> history, const std::vector<std::string> &texts)
{
    for (const auto &t : texts)
        history = PushSendHistory(std::move(history), t);
    return history;
}

TEST(SendHistory, Push)
{
    struct Row {
        std::string name;
        std::vector<std::string> before, pushes, after;
    };
    const std::vector<Row> rows = {
        {"new text on top", {"x", "y"}, {"z"}, {"z", "x", "y"}},
        {"same text twice", {}, {"abc", "abc"}, {"abc"}},
        {"equal entry moves up", {"a", "b", "c"}, {"c"}, {"c", "a", "b"}},
        {"other case replaces", {"x", "ABC"}, {"abc"}, {"abc", "x"}},
        {"only the first equal entry goes", {"Ab", "aB"}, {"ab"}, {"ab", "aB"}},
        {"empty text", {"a", ""}, {""}, {"", "a"}},
        {"blanks count", {"a"}, {"a "}, {"a ", "a"}},
        // the second bytes of these two characters are "A" and "a"
        {"two-byte characters exact", {"\x83\x41"}, {"\x83\x61"}, {"\x83\x61", "\x83\x41"}},
        {"same two-byte text", {"\x83\x41x"}, {"\x83\x41X"}, {"\x83\x41X"}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Push(row.before, row.pushes), row.after) << row.name;
}

TEST(SendHistory, Limit)
{
    std::vector<std::string> texts;
    for (int i = 0; i < 51; ++i)
        texts.push_back("t" + std::to_string(i));
    const auto history = Push({}, texts);
    ASSERT_EQ(history.size(), kSendHistoryMax);
    EXPECT_EQ(history.front(), "t50");
    EXPECT_EQ(history.back(), "t1");

    // a longer list loaded from the file loses one entry per push only
    std::vector<std::string> loaded;
    for (int i = 0; i < 80; ++i)
        loaded.push_back("old" + std::to_string(i));
    const auto after = PushSendHistory(loaded, "new");
    ASSERT_EQ(after.size(), 80u);
    EXPECT_EQ(after.front(), "new");
    EXPECT_EQ(after.back(), "old78");
    // moving an entry up also deletes the last one while more than 50 remain
    EXPECT_EQ(PushSendHistory(loaded, "OLD79").size(), 79u);
}

constexpr auto N = MixForm::Normal;
constexpr auto L = MixForm::List;

TEST(CtrlButtons, Pieces)
{
    struct Row {
        MixForm form;
        MixType type;
        std::string box;
        unsigned char b;
        std::string after;
    };
    const std::vector<Row> rows = {
        {N, MixType::Hex, "0x41", 27, "0x41,0x1b"},
        {N, MixType::Hex, "0x41,", 27, "0x41,0x1b"},
        {N, MixType::Hex, "0x41, ", 27, "0x41, 0x1b"},
        {N, MixType::Text, "", 13, "0x0d"},
        {N, MixType::Hex, " \t", 10, " \t0x0a"},
        {L, MixType::Hex, "", 27, "[OUT] 1B"},
        {L, MixType::Hex, "[OUT] 1B", 13, "[OUT] 1B 0D"},
        {L, MixType::Dec, "", 27, "[OUT]  27"},
        {L, MixType::Dec, "[OUT]  27", 1, "[OUT]  27   1"},
        {L, MixType::Char, "", 27, "[OUT]  _ec"},
        {L, MixType::Char, "x ", 13, "x   _cr"},
        {L, MixType::Text, "abc", 27, "abc"},
        {L, MixType::Text, "", 13, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.box + " + " + std::to_string(row.b));
        EXPECT_EQ(AppendCtrlButton(row.box, row.b, row.form, row.type), row.after);
    }
    EXPECT_FALSE(CtrlButtonPiece("abc", 27, L, MixType::Text));
}

TEST(CtrlButtons, NotationTable)
{
    struct Row {
        unsigned char tag;
        std::string normal, hex, dec, chr;
    };
    const std::vector<Row> rows = {
        {27, "0x1b", "1B", " 27", " _ec"}, {13, "0x0d", "0D", " 13", " _cr"},
        {10, "0x0a", "0A", " 10", " _lf"}, {1, "0x01", "01", "  1", " _sh"},
        {2, "0x02", "02", "  2", " _sx"},  {3, "0x03", "03", "  3", " _ex"},
        {4, "0x04", "04", "  4", " _et"},  {5, "0x05", "05", "  5", " _eq"},
        {6, "0x06", "06", "  6", " _ak"},  {21, "0x15", "15", " 21", " _nk"},
        {26, "0x1a", "1A", " 26", " _sb"},
    };
    ASSERT_EQ(rows.size(), kCtrlButtons.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto &row = rows[i];
        EXPECT_EQ(kCtrlButtons[i].tag, row.tag);
        EXPECT_EQ(CtrlCharNotation(row.tag, N, MixType::Hex), row.normal);
        EXPECT_EQ(CtrlCharNotation(row.tag, L, MixType::Hex), row.hex);
        EXPECT_EQ(CtrlCharNotation(row.tag, L, MixType::Dec), row.dec);
        EXPECT_EQ(CtrlCharNotation(row.tag, L, MixType::Char), row.chr);
        EXPECT_FALSE(CtrlCharNotation(row.tag, L, MixType::Text));
    }
}

// What the buttons write, the mixed send reads back as the same bytes, in every form and type.
TEST(CtrlButtons, ReadBackByTheMixedSend)
{
    const std::vector<std::pair<MixForm, MixType>> modes = {
        {N, MixType::Hex}, {L, MixType::Hex}, {L, MixType::Dec}, {L, MixType::Char}};
    for (const auto &[form, type] : modes) {
        SCOPED_TRACE(static_cast<int>(type) + 10 * static_cast<int>(form));
        std::string box, want;
        for (const auto &button : kCtrlButtons) {
            box = AppendCtrlButton(box, button.tag, form, type);
            want += static_cast<char>(button.tag);
            EXPECT_EQ(PlanMixSend(box, form, type).bytes(), want) << box;
        }
    }
}

} // namespace
