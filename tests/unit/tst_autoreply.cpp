// SPDX-License-Identifier: MIT
// What the automatic replies stand on without a port: the checksum items of the mixed send, the
// patterns and their matching across reads, the captured bytes in a reply, and the rules' file.
#include "Checksums.h"
#include "MixSend.h"
#include "ReplyMatcher.h"
#include "ReplyRules.h"

#include "FileIo.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace core;

namespace
{

std::string Hex(const std::string &bytes)
{
    std::string out;
    char cell[4];
    for (const char c : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", static_cast<unsigned char>(c));
        out += cell;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

// Every match the matcher reports for `data` fed in two reads cut at `cut`, as "pattern:captures".
std::vector<std::string> Matches(ReplyMatcher &m, const std::string &data, std::size_t cut)
{
    std::vector<std::string> found;
    auto note = [&](const ReplyMatcher::Match &match) {
        std::string s = std::to_string(match.pattern) + ":";
        for (const std::uint8_t b : match.captures)
            s += static_cast<char>(b);
        found.push_back(s);
    };
    const auto *p = reinterpret_cast<const std::uint8_t *>(data.data());
    m.reset();
    for (const auto &[from, to] : {std::pair{std::size_t(0), cut}, std::pair{cut, data.size()}}) {
        for (std::size_t at = from; at < to;) {
            ReplyMatcher::Match match;
            at += m.feed(p + at, to - at, &match);
            if (match.pattern >= 0)
                note(match);
        }
    }
    return found;
}

} // namespace

TEST(Checksums, CheckValuesOverTheUsualString)
{
    const std::string nine = "123456789";
    const struct {
        const char *item;
        std::uint32_t check;
        const char *wire;
    } rows[] = {
        {"{SUM8}", 0xDD, "DD"},
        {"{XOR8}", 0x31, "31"},
        {"{CRC8}", 0xF4, "F4"},
        {"{CRC16MODBUS}", 0x4B37, "37 4B"},
        {"{CRC16CCITT}", 0x29B1, "29 B1"},
        {"{CRC32}", 0xCBF43926, "26 39 F4 CB"},
    };
    for (const auto &row : rows) {
        const std::optional<Checksum> kind = ChecksumItem(row.item);
        ASSERT_TRUE(kind) << row.item;
        EXPECT_EQ(ChecksumValue(*kind, nine), row.check) << row.item;
        EXPECT_EQ(
            Hex(PlanMixSend(std::string("\"123456789\",") + row.item, MixForm::Normal, MixType::Hex).bytes()),
            "31 32 33 34 35 36 37 38 39 " + std::string(row.wire))
            << row.item;
    }
    EXPECT_FALSE(ChecksumItem("{sum8}")); // exactly as written
}

// A checksum covers the line since its start or since the last checksum's bytes; elsewhere the
// items mean what they meant.
TEST(Checksums, ItemsInTheMixedSend)
{
    const struct {
        const char *text;
        MixForm form;
        const char *bytes;
    } rows[] = {
        {"1,2,{SUM8},3,5,{SUM8}", MixForm::Normal, "01 02 03 03 05 08"},
        {"{SUM8}", MixForm::Normal, "00"},
        {"1,\"{SUM8}\"", MixForm::Normal, "01 7B 53 55 4D 38 7D"},
        {"1, {XOR8} ,0x10", MixForm::Normal, "01 01 10"},
        {"1,{SUM9},2", MixForm::Normal, "01 02"},
        {"1,{?1},2", MixForm::Normal, "01 02"}, // no captures outside a reply
        {"01 {SUM8} 02", MixForm::List, "01 02"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Hex(PlanMixSend(row.text, row.form, MixType::Hex).bytes()), row.bytes) << row.text;
    const std::vector<std::uint8_t> captures = {0x11, 0xFF};
    EXPECT_EQ(Hex(PlanMixSend("1,{?2},{?1},{?3},{SUM8}", MixForm::Normal, MixType::Hex, &captures).bytes()),
              "01 FF 11 11");
}

TEST(ReplyMatcher, PatternsAsWritten)
{
    std::string error;
    EXPECT_EQ(ParseHexPattern("01 03 ?? ff", &error), (BytePattern{1, 3, -1, 0xFF}));
    EXPECT_EQ(ParseTextPattern("OK\\r\\n\\x00\\\\", &error), (BytePattern{'O', 'K', '\r', '\n', 0, '\\'}));
    for (const char *bad : {"", "0", "013", "0g", "01,02"})
        EXPECT_FALSE(ParseHexPattern(bad, &error)) << bad;
    for (const char *bad : {"", "a\\", "\\q", "\\x4"})
        EXPECT_FALSE(ParseTextPattern(bad, &error)) << bad;
    EXPECT_FALSE(ParseTextPattern(std::string(kMaxPatternBytes + 1, 'a'), &error));
}

// A match cut at every place across two reads; wildcards keep their bytes; matches back to back;
// two patterns that end at the same byte (the first in list order wins, and its match consumes
// the bytes); NUL and 0xFF in patterns and data; a pattern longer than one word of bits.
TEST(ReplyMatcher, MatchesAcrossReadsInListOrder)
{
    std::string error;
    ReplyMatcher m;
    const std::string longText(100, 'z');
    m.setPatterns({*ParseHexPattern("01 ?? 00 FF", &error), *ParseTextPattern("OK\\r\\n", &error),
                   *ParseHexPattern("0D 0A", &error), BytePattern{}, *ParseTextPattern(longText, &error)});
    const std::string data = std::string("xx\x01\xAB\x00\xFF", 6) + "OK\r\n" +
                             std::string("\x01\xFF\x00\xFF", 4) + "\r\n" + longText + "OK\r\n";
    const std::vector<std::string> want = {"0:\xAB", "1:", std::string("0:\xFF"), "2:", "4:", "1:"};
    for (std::size_t cut = 0; cut <= data.size(); ++cut)
        ASSERT_EQ(Matches(m, data, cut), want) << "cut at " << cut;
}

TEST(ReplyRules, FileRoundTripKeepsWhatItDoesNotKnow)
{
    TempDir dir;
    const std::string path = dir.file(kReplyRuleFile);
    ASSERT_TRUE(
        platform::WriteFileAtomic(path,
                                  std::string("; mine\r\n[Rule1]\r\nNAME=\"poll\"\r\nMATCHTYPE=HEX\r\n"
                                              "MATCH=\"01 03\"\r\nNOTE=kept\r\n[Rule2]\r\nNAME=bad\r\n"
                                              "MATCH=\"0x\"\r\n[Rule3]\r\nNAME=gone\r\nMATCH=\"02\"\r\n"
                                              "[Other]\r\nx=1\r\n"),
                                  nullptr));
    std::vector<std::string> problems;
    ReplyRules rules = LoadReplyRules(path, &problems);
    ASSERT_EQ(rules.rules.size(), 3u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("[Rule2] bad: MATCH:", 0), 0u) << problems[0];
    EXPECT_TRUE(rules.rules[0].problem.empty());
    EXPECT_FALSE(rules.rules[1].problem.empty());

    rules.on = true;
    rules.rules.pop_back();
    ReplyRule text;
    text.name = "  AT  ";
    text.matchKind = ReplyRule::MatchKind::Text;
    text.match = "AT\\r";
    text.reply = "\"OK\",13,10";
    text.delayMs = 20;
    text.times = 3;
    rules.rules.push_back(text);
    std::string error;
    ASSERT_TRUE(SaveReplyRules(path, rules, &error)) << error;
    const std::string saved = platform::ReadWholeFile(path).value_or("");
    for (const char *kept : {"; mine\r\n", "NOTE=kept\r\n", "[Other]\r\nx=1\r\n"})
        EXPECT_NE(saved.find(kept), std::string::npos) << kept;
    EXPECT_EQ(saved.find("gone"), std::string::npos) << "a deleted rule left its lines";

    problems.clear();
    const ReplyRules again = LoadReplyRules(path, &problems);
    EXPECT_TRUE(again.on);
    ASSERT_EQ(again.rules.size(), 3u);
    EXPECT_EQ(again.rules[2], text);
    EXPECT_EQ(again.rules[0].match, "01 03");
    EXPECT_EQ(problems.size(), 1u); // the broken rule stays, as it was
}
