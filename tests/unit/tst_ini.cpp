// SPDX-License-Identifier: MIT
#include "FileIo.h"
#include "Ini.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;
using platform::GetPrivateProfileStringA;
using platform::IniFile;
using platform::WritePrivateProfileStringA;

namespace
{

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string &path)
{
    return platform::ReadWholeFile(path).value_or("<missing>");
}

// Files as Windows wrote them use CR LF; files edited on Linux may use LF.
std::string WithEnds(std::string text, const std::string &end)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += end;
        else
            out += c;
    }
    return out;
}

struct ReadCase {
    const char *name;
    std::string text; // '\n' stands for the line end under test
    std::string section;
    std::string key;
    std::string expected;
};

class IniRead : public testing::TestWithParam<std::tuple<ReadCase, std::string>>
{
};

TEST_P(IniRead, GetsTheValueAWindowsReaderGets)
{
    const auto &[c, end] = GetParam();
    IniFile ini;
    ini.setText(WithEnds(c.text, end));
    EXPECT_EQ(ini.get(c.section, c.key, "<def>"), c.expected);
    EXPECT_EQ(ini.contains(c.section, c.key), c.expected != "<def>");
}

const std::string kLong(3000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Files, IniRead,
    testing::Combine(
        testing::Values(
            ReadCase{"plain", "[INI]\nSPEED=19200\n", "INI", "SPEED", "19200"},
            ReadCase{"section_case", "[ini]\nSPEED=19200\n", "INI", "SPEED", "19200"},
            ReadCase{"key_case", "[INI]\nspeed=19200\n", "INI", "SPEED", "19200"},
            ReadCase{"blanks_around", "[INI]\n  PARITY \t=\t  EVEN \t\n", "INI", "PARITY", "EVEN"},
            ReadCase{"section_blanks", "  [INI]  \nFLOW=NONE\n", "INI", "FLOW", "NONE"},
            ReadCase{"quoted", "[P]\nBTN1=\"  a \"b\" c  \"\n", "P", "BTN1", "  a \"b\" c  "},
            ReadCase{"quoted_after_trim", "[P]\nBTN1=  \" x \"  \n", "P", "BTN1", " x "},
            ReadCase{"one_pair_only", "[P]\nBTN1=\"\"x\"\"\n", "P", "BTN1", "\"x\""},
            ReadCase{"lone_quote", "[P]\nBTN1=\"\n", "P", "BTN1", "\""},
            ReadCase{"open_quote", "[P]\nBTN1=\"abc\n", "P", "BTN1", "\"abc"},
            ReadCase{"empty_quotes", "[P]\nBTN1=\"\"\n", "P", "BTN1", ""},
            ReadCase{"empty_value", "[INI]\nPARITY=\n", "INI", "PARITY", ""},
            ReadCase{"equals_in_value", "[P]\nBTN1=a=b;c\n", "P", "BTN1", "a=b;c"},
            ReadCase{"cp932_bytes", "[P]\nBTN1=\x82\xA0\x8A\xBF\n", "P", "BTN1", "\x82\xA0\x8A\xBF"},
            ReadCase{"long_value_cut", "[P]\nBTN1=" + kLong + "\n", "P", "BTN1", kLong.substr(0, 2047)},
            ReadCase{"long_quoted_cut", "[P]\nBTN1=\"" + kLong + "\"\n", "P", "BTN1", kLong.substr(0, 2047)},
            ReadCase{"missing_key", "[INI]\nSPEED=1\n", "INI", "FLOW", "<def>"},
            ReadCase{"missing_section", "[INI]\nSPEED=1\n", "POS", "SPEED", "<def>"},
            ReadCase{"key_in_other_section", "[INI]\n[POS]\nSPEED=1\n", "INI", "SPEED", "<def>"},
            ReadCase{"key_before_sections", "SPEED=1\n[INI]\n", "INI", "SPEED", "<def>"},
            ReadCase{"comment_is_no_key", "[INI]\n;SPEED=1\n", "INI", ";SPEED", "<def>"},
            ReadCase{"line_without_equals", "[INI]\nSPEED\n", "INI", "SPEED", "<def>"},
            ReadCase{"first_duplicate_section", "[INI]\nSPEED=1\n[ini]\nSPEED=2\nFLOW=X\n", "INI", "SPEED",
                     "1"},
            ReadCase{"second_duplicate_unseen", "[INI]\nSPEED=1\n[ini]\nFLOW=X\n", "INI", "FLOW", "<def>"},
            ReadCase{"first_duplicate_key", "[INI]\nSPEED=1\nspeed=2\n", "INI", "SPEED", "1"},
            ReadCase{"no_final_line_end", "[INI]\nSPEED=7", "INI", "SPEED", "7"}),
        testing::Values(std::string("\r\n"), std::string("\n"))),
    [](const testing::TestParamInfo<std::tuple<ReadCase, std::string>> &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == "\n" ? "_lf" : "_crlf");
    });

struct WriteCase {
    const char *name;
    std::string before;
    std::string section;
    std::string key;
    std::string value;
    std::string after;
};

class IniWrite : public testing::TestWithParam<WriteCase>
{
};

TEST_P(IniWrite, ChangesOnlyTheKeyItWrites)
{
    const WriteCase &c = GetParam();
    IniFile ini;
    ini.setText(c.before);
    ini.set(c.section, c.key, c.value);
    EXPECT_EQ(ini.text(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Files, IniWrite,
    testing::Values(
        WriteCase{"in_place", "[INI]\r\nSPEED=9600\r\nFLOW=NONE\r\n", "INI", "SPEED", "19200",
                  "[INI]\r\nSPEED=19200\r\nFLOW=NONE\r\n"},
        WriteCase{"in_place_keeps_lf_and_spelling", "[ini]\nspeed = 9600\nflow=NONE\n", "INI", "SPEED", "3",
                  "[ini]\nspeed=3\nflow=NONE\n"},
        WriteCase{"same_value_untouched", "[INI]\r\n  SPEED =9600\r\n", "INI", "SPEED", "9600",
                  "[INI]\r\n  SPEED =9600\r\n"},
        WriteCase{"same_value_with_blanks_rewritten", "[INI]\r\nPARITY=  EVEN  \r\n", "INI", "PARITY", "EVEN",
                  "[INI]\r\nPARITY=EVEN\r\n"},
        WriteCase{"append_before_blank_lines", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n", "A", "z", "3",
                  "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n"},
        WriteCase{"append_after_comment", "[A]\nx=1\n; note\n\n\t\n[B]\n", "A", "z", "3",
                  "[A]\nx=1\n; note\nz=3\r\n\n\t\n[B]\n"},
        WriteCase{"append_to_section_without_keys", "[A]\r\n[B]\r\n", "A", "z", "3", "[A]\r\nz=3\r\n[B]\r\n"},
        WriteCase{"append_at_end_of_last_section", "[A]\r\nx=1\r\n", "a", "Z", "3", "[A]\r\nx=1\r\nZ=3\r\n"},
        WriteCase{"append_section", "[A]\r\nx=1\r\n", "B", "y", "2", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        WriteCase{"append_section_after_blank", "[A]\nx=1\n\n", "B", "y", "2", "[A]\nx=1\n\n[B]\r\ny=2\r\n"},
        WriteCase{"empty_file", "", "A", "x", "1", "[A]\r\nx=1\r\n"},
        WriteCase{"no_final_end_new_section", "[A]\r\nx=1", "B", "y", "2", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        WriteCase{"no_final_end_new_key", "[A]\r\nx=1", "A", "z", "3", "[A]\r\nx=1\r\nz=3\r\n"},
        WriteCase{"no_final_end_header_only", "[A]", "A", "z", "3", "[A]\r\nz=3\r\n"},
        WriteCase{"no_final_end_in_place", "[A]\r\nx=1", "A", "x", "2", "[A]\r\nx=2"},
        WriteCase{"first_duplicate_section", "[A]\r\nx=1\r\n[a]\r\nx=2\r\n", "A", "x", "5",
                  "[A]\r\nx=5\r\n[a]\r\nx=2\r\n"},
        WriteCase{"first_duplicate_section_append", "[A]\r\n[a]\r\nx=2\r\n", "A", "x", "5",
                  "[A]\r\nx=5\r\n[a]\r\nx=2\r\n"},
        WriteCase{"key_before_sections_untouched", "x=1\r\n[A]\r\n", "A", "x", "2", "x=1\r\n[A]\r\nx=2\r\n"},
        WriteCase{"comment_not_replaced", "[A]\r\n;x=1\r\n", "A", "x", "2", "[A]\r\n;x=1\r\nx=2\r\n"},
        WriteCase{"value_cut_at_line_end", "[A]\r\n", "A", "x", "1\r\n[B]\r\ny=2", "[A]\r\nx=1\r\n"},
        WriteCase{"value_cut_at_lone_lf", "[A]\r\n", "A", "x", "ab\ncd", "[A]\r\nx=ab\r\n"},
        WriteCase{"quoted_value_kept", "", "ProgButtonSet", "BTN1", "\"  a \"b\" c  \"",
                  "[ProgButtonSet]\r\nBTN1=\"  a \"b\" c  \"\r\n"},
        WriteCase{"lone_cr_ends", "[A]\rx=1\r", "A", "y", "2", "[A]\rx=1\ry=2\r\n"}),
    [](const testing::TestParamInfo<WriteCase> &info) { return std::string(info.param.name); });

// The settings writer's 19 keys, in its write order.
struct SettingKey {
    const char *section;
    const char *key;
    const char *value;
};
const SettingKey kSettings[] = {
    {"INI", "COMM", "3"},
    {"INI", "SPEED", "19200"},
    {"INI", "WORDSIZE", "7"},
    {"INI", "PARITY", "EVEN"},
    {"INI", "STOPBIT", "1.5"},
    {"INI", "FLOW", "RTS/CTS"},
    {"RecvSet", "RETCODE", "-1"},
    {"SendDelimiter", "DELIMITER", "2"},
    {"CharDelayTime", "CharDelayTime", "500"},
    {"MODE", "CTRL_CHECK", "1"},
    {"DISP", "PAGE", "0"},
    {"DISP", "HEXPAGE", "1"},
    {"DISP", "DECPAGE", "0"},
    {"DISP", "CHARPAGE", "1"},
    {"DISP", "TEXTPAGE", "1"},
    {"POS", "HEIGHT", "583"},
    {"POS", "WIDTH", "794"},
    {"POS", "TOP", "130"},
    {"POS", "LEFT", "194"},
};

TEST(IniSettingsFile, WritingAllKeysLeavesUnknownLinesByteForByte)
{
    TempDir dir;
    const std::string path = dir.file("Quorvel.ini");
    const std::string ports = "[PORTS]\r\nCOM1=loopback\r\ncom2 = /dev/serial/by-id/usb-\x82\xA0\r\n"
                              "; a comment = with equals\r\n\r\n";
    const std::string before =
        ";; hand-edited\n" + ports + "[ini]\nspeed=9600\nEXTRA=keep me \n\n[Other]\nk=v";
    WriteFile(path, before);

    for (const SettingKey &k : kSettings)
        ASSERT_TRUE(WritePrivateProfileStringA(k.section, k.key, k.value, path)) << k.key;

    const std::string after = ReadFile(path);
    EXPECT_EQ(after, ";; hand-edited\n" + ports +
                         "[ini]\nspeed=19200\nEXTRA=keep me \nCOMM=3\r\nWORDSIZE=7\r\nPARITY=EVEN\r\n"
                         "STOPBIT=1.5\r\nFLOW=RTS/CTS\r\n\n[Other]\nk=v\r\n[RecvSet]\r\nRETCODE=-1\r\n"
                         "[SendDelimiter]\r\nDELIMITER=2\r\n[CharDelayTime]\r\nCharDelayTime=500\r\n"
                         "[MODE]\r\nCTRL_CHECK=1\r\n[DISP]\r\nPAGE=0\r\nHEXPAGE=1\r\nDECPAGE=0\r\n"
                         "CHARPAGE=1\r\nTEXTPAGE=1\r\n[POS]\r\nHEIGHT=583\r\nWIDTH=794\r\nTOP=130\r\n"
                         "LEFT=194\r\n");
    for (const SettingKey &k : kSettings)
        EXPECT_EQ(GetPrivateProfileStringA(k.section, k.key, "<def>", path), k.value) << k.key;
    EXPECT_EQ(GetPrivateProfileStringA("PORTS", "COM2", "", path), "/dev/serial/by-id/usb-\x82\xA0");
    EXPECT_EQ(GetPrivateProfileStringA("Other", "k", "", path), "v");

    // Writing the same keys again changes nothing at all.
    for (const SettingKey &k : kSettings)
        ASSERT_TRUE(WritePrivateProfileStringA(k.section, k.key, k.value, path));
    EXPECT_EQ(ReadFile(path), after);
}

TEST(IniSettingsFile, FromScratchSectionsFollowTheWriteOrder)
{
    TempDir dir;
    const std::string path = dir.file("Quorvel.ini");
    for (const SettingKey &k : kSettings)
        ASSERT_TRUE(WritePrivateProfileStringA(k.section, k.key, k.value, path));
    EXPECT_EQ(ReadFile(path), "[INI]\r\nCOMM=3\r\nSPEED=19200\r\nWORDSIZE=7\r\nPARITY=EVEN\r\nSTOPBIT=1.5\r\n"
                              "FLOW=RTS/CTS\r\n[RecvSet]\r\nRETCODE=-1\r\n[SendDelimiter]\r\nDELIMITER=2\r\n"
                              "[CharDelayTime]\r\nCharDelayTime=500\r\n[MODE]\r\nCTRL_CHECK=1\r\n"
                              "[DISP]\r\nPAGE=0\r\nHEXPAGE=1\r\nDECPAGE=0\r\nCHARPAGE=1\r\nTEXTPAGE=1\r\n"
                              "[POS]\r\nHEIGHT=583\r\nWIDTH=794\r\nTOP=130\r\nLEFT=194\r\n");
}

// The registered-buttons file stores each text in one more pair of quotes.
TEST(IniButtonsFile, TextsSurviveSaveAndLoad)
{
    TempDir dir;
    const std::string path = dir.file("PButton.ini");
    const std::string texts[] = {"  a \"b\" c  ",       "",       "\"quoted\"",
                                 "0x02,\"AB\",0x03",    "[x]=;y", "\x93\x6F\x98\x5E \t",
                                 std::string(3000, 'q')};
    int slot = 0;
    for (const std::string &t : texts) {
        const std::string key = "BTN" + std::to_string(++slot);
        ASSERT_TRUE(WritePrivateProfileStringA("ProgButtonSet", key, '"' + t + '"', path));
        EXPECT_EQ(GetPrivateProfileStringA("ProgButtonSet", key, "<def>", path), t.substr(0, 2047)) << key;
    }
}

TEST(IniFileAccess, MissingFileReadsAsEmptyAndDefaults)
{
    TempDir dir;
    const std::string path = dir.file("none.ini");
    IniFile ini;
    EXPECT_TRUE(ini.load(path));
    EXPECT_EQ(ini.text(), "");
    EXPECT_EQ(GetPrivateProfileStringA("INI", "SPEED", "9600", path), "9600");
    EXPECT_FALSE(fs::exists(path));
}

TEST(IniFileAccess, UnreadableFileIsNeitherReadNorReplaced)
{
    TempDir dir;
    const std::string path = dir.file("dir.ini");
    fs::create_directory(path); // exists, but cannot be read as a file
    IniFile ini;
    EXPECT_FALSE(ini.load(path));
    EXPECT_FALSE(ini.errorText().empty());
    EXPECT_EQ(GetPrivateProfileStringA("INI", "SPEED", "9600", path), "9600");
    EXPECT_FALSE(WritePrivateProfileStringA("INI", "SPEED", "1", path));
    EXPECT_TRUE(fs::is_directory(path));
}

// A failed save leaves the old file whole and no temporary file beside it.
TEST(IniFileAccess, FailedSaveKeepsTheOldFile)
{
    TempDir dir;
    const std::string old = "[INI]\r\nSPEED=9600\r\n";
    // A name so long that no temporary name can be made beside it: fails for every user.
    const std::string path = dir.file(std::string(250, 'n'));
    WriteFile(path, old);
    EXPECT_FALSE(WritePrivateProfileStringA("INI", "SPEED", "1", path));
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(IniFileAccess, UnwritableFolderKeepsTheOldFile)
{
    TempDir dir;
    const std::string old = "[INI]\r\nSPEED=9600\r\n";
    // The file itself stays writable; only its folder is not.
    const std::string path = dir.file("ro/Quorvel.ini");
    fs::create_directory(dir.path() / "ro");
    WriteFile(path, old);
    fs::permissions(dir.path() / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    IniFile ini;
    ASSERT_TRUE(ini.load(path));
    ini.set("INI", "SPEED", "1");
    const bool saved = ini.save(path);
    const auto entries = std::distance(fs::directory_iterator(dir.path() / "ro"), fs::directory_iterator());
    fs::permissions(dir.path() / "ro", fs::perms::owner_all);
    EXPECT_EQ(entries, 1);
    if (saved)
        GTEST_SKIP() << "folder permissions do not bind this user (privileged)";
    EXPECT_FALSE(ini.errorText().empty());
    EXPECT_EQ(ReadFile(path), old);
}

} // namespace
