// SPDX-License-Identifier: MIT
// The mixed send: splitting, the number and string rules, the list forms and the echo cells.
#include "MixSend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace core;

namespace
{

std::string Hex(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string Line(const MixSendPlan &plan, int page)
{
    return std::string(kOutTag) + plan.cells[static_cast<std::size_t>(page)];
}

struct SendRow {
    MixForm form;
    MixType type;
    std::string text;
    std::string bytes; // hexadecimal, blank-separated
    bool sent;
};

constexpr auto N = MixForm::Normal;
constexpr auto L = MixForm::List;
constexpr auto HEX = MixType::Hex;
constexpr auto DEC = MixType::Dec;
constexpr auto CHR = MixType::Char;
constexpr auto TXT = MixType::Text;

const std::vector<SendRow> kSendRows = {
    {N, HEX, R"(0x02,"AB C",13,10)", "02 41 42 20 43 0D 0A", true},
    {N, HEX, R"(0x41, 66 ,"CD")", "41 42 43 44", true},
    {N, HEX, R"("a,b")", "61 2C 62", true},
    {N, HEX, R"("ab)", "61 62", true},
    {N, HEX, R"(")", "", false},
    {N, HEX, R"("")", "", true},
    {N, HEX, "256", "00", true},
    {N, HEX, "0x100", "00", true},
    {N, HEX, "0xFFFFFFFF", "", false},
    {N, HEX, "-2", "FE", true},
    {N, HEX, "-1", "", false},
    {N, HEX, "abc", "", false},
    {N, HEX, "1 2", "", false},
    {N, HEX, "$1B", "1B", true},
    {N, HEX, "x1b", "1B", true},
    {N, HEX, "0X1B", "1B", true},
    {N, HEX, "27", "1B", true},
    {N, HEX, ",,0x41,,", "41", true},
    // the list type does not matter in the normal form
    {N, TXT, "65,hello", "41", true},
    // bytes before the first and after the second quote are ignored
    {N, HEX, R"(x"AB"y)", "41 42", true},
    {N, HEX, "\t0x41\r", "41", true},
    {N, HEX, "4294967296", "", false},
    {N, HEX, "-0x10", "F0", true},
    {N, HEX, "", "", false},
    {N, HEX, " , ,", "", false},
    {L, HEX, "[OUT]   41   42", "41 42", true},
    {L, HEX, "0x41", "", false},
    {L, HEX, "[IN ]   41   ff", "41 FF", true},
    {L, DEC, "[IN ]    65   66", "41 42", true},
    {L, DEC, "[OUT]  255 256 -1", "FF 00", true},
    {L, CHR, "[IN ]    A  _cr _lf", "41 0D 0A", true},
    {L, CHR, "_sp", "20", true},
    {L, CHR, "xyz", "20", true},
    {L, CHR, "_nu", "00", true},
    {L, CHR, "_CR", "20", true}, // names compare case-sensitively
    {L, CHR, "[OUT]   _sx  A  _sp  B  _ex", "02 41 20 42 03", true},
    {L, CHR, "[OUT] _ec _cr", "1B 0D", true}, // a tag with one blank is dropped as a piece
    {L, CHR, "\"", "22", true},
    {L, TXT, "[IN ]  hello", "68 65 6C 6C 6F", true},
    {L, TXT, "65", "41", true},
    {L, TXT, R"(say "hi")", "68 69", true},
    {L, TXT, "[OUT]  hello\r", "68 65 6C 6C 6F", true},
    {L, TXT, "[OUT]  a [IN ] b", "", false}, // still holds a tag after the removal
    {L, TXT, "a,b c", "61 2C 62 20 63", true},
    {L, TXT, "", "", false},
};

TEST(MixSend, EdgeCaseTable)
{
    for (const auto &row : kSendRows) {
        SCOPED_TRACE("text: " + row.text);
        const auto plan = PlanMixSend(row.text, row.form, row.type);
        EXPECT_EQ(Hex(plan.bytes()), row.bytes);
        EXPECT_EQ(plan.sent, row.sent);
        EXPECT_FALSE(plan.itemLimit);
    }
}

TEST(MixSend, NumbersAreSingleCharsAndStringsOneCall)
{
    const auto plan = PlanMixSend(R"(0x02,"AB C",13,10)", N, HEX);
    const std::vector<MixTransmit> want = {{"\x02"}, {"AB C"}, {"\r"}, {"\n"}};
    EXPECT_EQ(plan.calls, want);

    const auto text = PlanMixSend("[IN ]  hello", L, TXT);
    EXPECT_EQ(text.calls, (std::vector<MixTransmit>{{"hello"}}));
    EXPECT_TRUE(PlanMixSend(R"("")", N, HEX).calls.empty());
}

TEST(MixSend, EchoLines)
{
    const auto plan = PlanMixSend(R"(0x41, 66 ,"CD")", N, HEX);
    EXPECT_EQ(Line(plan, kPageHex), "[OUT]   41   42   43   44  ");
    EXPECT_EQ(Line(plan, kPageDec), "[OUT]    65   66   67   68 ");

    const auto frame = PlanMixSend(R"(0x02,"A B",3)", N, HEX);
    EXPECT_EQ(Hex(frame.bytes()), "02 41 20 42 03");
    EXPECT_EQ(Line(frame, kPageChar), "[OUT]   _sx  A  _sp  B  _ex");
    EXPECT_EQ(Line(frame, kPageText), "[OUT]  .A B.");

    const auto empty = PlanMixSend(R"("")", N, HEX);
    for (int page = 0; page < kPageCount; ++page)
        EXPECT_EQ(Line(empty, page), "[OUT]  ");
}

std::string NumberItems(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? "," : "") + std::to_string(i & 0xFF);
    return text;
}

TEST(MixSend, ItemLimit)
{
    struct Row {
        int items;
        std::size_t sentBytes;
        bool limit;
    };
    for (const Row row : {Row{999, 999, false}, Row{1000, 1000, true}, Row{1001, 1000, true}}) {
        SCOPED_TRACE(row.items);
        const auto plan = PlanMixSend(NumberItems(row.items), N, HEX);
        EXPECT_EQ(plan.bytes().size(), row.sentBytes);
        EXPECT_EQ(plan.itemLimit, row.limit);
        EXPECT_EQ(static_cast<unsigned char>(plan.bytes().back()), (row.sentBytes - 1) & 0xFF);
    }
    // blank items count towards the limit too
    std::string blanks;
    for (int i = 0; i < 999; ++i)
        blanks += " ,";
    const auto withBlanks = PlanMixSend(blanks + "0x41,0x42", N, HEX);
    EXPECT_TRUE(withBlanks.itemLimit);
    EXPECT_EQ(withBlanks.bytes(), "A");
    // the list forms share the limit; a list-form TEXT line is one item however long
    std::string hexItems;
    for (int i = 0; i < 1001; ++i)
        hexItems += " 7F";
    EXPECT_TRUE(PlanMixSend(hexItems, L, HEX).itemLimit);
    EXPECT_EQ(PlanMixSend(hexItems, L, HEX).bytes().size(), 1000u);
    EXPECT_FALSE(PlanMixSend(NumberItems(1500), L, TXT).itemLimit);
}

TEST(MixSend, LongItemsGoWhole)
{
    const std::string body(5000, 'x');
    const auto plan = PlanMixSend("0x01,\"" + body + "\",0x02", N, HEX);
    EXPECT_EQ(plan.bytes(), "\x01" + body + "\x02");
    EXPECT_EQ(plan.cells[kPageText].size(), body.size() + 2);

    const auto text = PlanMixSend(body + " " + body, L, TXT);
    EXPECT_EQ(text.bytes(), body + " " + body);
}

TEST(MixSend, PageLinesPickedUpSendTheSameBytes)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const auto cells = MixSendCells(all);
    for (const auto type : {HEX, DEC, CHR}) {
        SCOPED_TRACE(static_cast<int>(type));
        const std::string line = std::string(kOutTag) + cells[static_cast<std::size_t>(type)];
        EXPECT_EQ(PlanMixSend(line, L, type).bytes(), all);
    }
    // received lines carry the other tag; a quote on the CHAR page is a byte, not a string
    EXPECT_EQ(PlanMixSend("[IN ]   _ex  z  _sp", L, CHR).bytes(), "\x03z ");
    EXPECT_EQ(PlanMixSend("[IN ]    \"  A  _sp  B   \" ", L, CHR).bytes(), "\"A B\"");
}

TEST(MixSend, SplitMixText)
{
    struct Row {
        std::string text;
        char sep;
        std::vector<std::string> items;
    };
    const std::vector<Row> rows = {
        {"a,b", ',', {"a", "b"}},
        {",,a,,,b,", ',', {"a", "b"}},
        {R"( "x,y" ,z)", ',', {R"( "x,y" )", "z"}},
        {R"("open,still open,"x)", ',', {R"("open,still open,"x)"}},
        {R"("a" "b c" d)", ' ', {R"("a")", R"("b c")", "d"}},
        {" a , b ", ',', {" a ", " b "}},
        {"a,b\r\n", ',', {"a", "b\r"}},
        {"a\nb,c", ',', {"a"}},
        {"a\nb\n" + std::string(60, 'z'), ',', {"a\nb"}},
        {",,,", ',', {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string_view> store;
        const int n = SplitMixText(row.text, row.sep, store, kMixItemMax);
        EXPECT_EQ(n, static_cast<int>(row.items.size()));
        EXPECT_EQ(std::vector<std::string>(store.begin(), store.end()), row.items);
    }

    std::vector<std::string_view> store = {"kept"};
    EXPECT_EQ(SplitMixText("", ',', store, kMixItemMax), 0);
    EXPECT_EQ(store.size(), 1u);
    EXPECT_EQ(SplitMixText("1,2,3,4", ',', store, 2), 2);
    EXPECT_EQ(store.back(), "2");
}

TEST(MixSend, ListPieceConversion)
{
    struct Row {
        MixType type;
        std::string piece;
        std::string converted;
    };
    const std::vector<Row> rows = {
        {HEX, "1B", "0x1B"},  {DEC, "27", "27"},  {CHR, "_ec", "27"},  {CHR, "_us", "31"},
        {CHR, "_sp", "0x20"}, {CHR, "", "0x20"},  {CHR, "A", "65"},    {CHR, "\xff", "255"},
        {TXT, "abc", "abc"},  {HEX, "[OUT]", ""}, {DEC, "x[IN ]", ""}, {CHR, "[OUT]", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.piece);
        EXPECT_EQ(ConvertListPiece(row.piece, row.type), row.converted);
    }
}

TEST(MixSend, FormAndTypeIndexes)
{
    EXPECT_EQ(MixFormFromIndex(0), N);
    EXPECT_EQ(MixFormFromIndex(1), L);
    EXPECT_EQ(MixFormFromIndex(-1), N);
    const std::vector<std::pair<int, MixType>> types = {{-1, DEC}, {0, HEX}, {1, DEC},
                                                        {2, CHR},  {3, TXT}, {7, TXT}};
    for (const auto &[index, type] : types)
        EXPECT_EQ(MixTypeFromIndex(index), type) << index;
}

TEST(MixSend, TrimLow)
{
    EXPECT_EQ(TrimLow(" \t\r\n\x01x y\x20"), "x y");
    EXPECT_EQ(TrimLow("\x81\x40"), "\x81\x40"); // bytes above 0x7F are no blanks
    EXPECT_EQ(TrimLow(" \x1f "), "");
}

} // namespace
