// SPDX-License-Identifier: MIT
// The settings file: defaults, the integer syntax, trimming of the texts, the control ranges, the
// write order and what a write leaves alone; and the status text.
#include "CommSettingsForm.h"
#include "Ini.h"
#include "Settings.h"

#include <gtest/gtest.h>

using namespace core;

namespace
{

Settings Read(const std::string &file)
{
    platform::IniFile ini;
    ini.setText(file);
    Settings s;
    s.read(ini);
    return s;
}

std::string Written(const Settings &s, const std::string &before = {})
{
    platform::IniFile ini;
    ini.setText(before);
    s.write(ini);
    return ini.text();
}

TEST(SettingsFile, DefaultsWithoutAFile)
{
    const Settings s = Read("");
    EXPECT_EQ(s.comm.ComNo, 1);
    EXPECT_EQ(s.comm.Speed, 9600);
    EXPECT_EQ(s.comm.WordSize, 8);
    EXPECT_EQ(s.comm.Parity, "NONE");
    EXPECT_EQ(s.comm.StopBits, "1");
    EXPECT_EQ(s.comm.Flow, "NONE");
    EXPECT_EQ(s.comm.RecvLineWait, 500);
    EXPECT_EQ(s.comm.CtrlCheck, 1);
    EXPECT_EQ(s.geometry.height, 583);
    EXPECT_EQ(s.geometry.width, 794);
    EXPECT_EQ(s.geometry.top, 130);
    EXPECT_EQ(s.geometry.left, 194);
    EXPECT_EQ(s.lineBreakMode, 0);
    EXPECT_EQ(s.delimiter, 0);
    EXPECT_EQ(s.activePage, 0);
    EXPECT_EQ(s.pageShown, (std::vector<bool>{true, true, true, true}));
    EXPECT_EQ(StatusText(s.comm), "COM:1 9600 8 N 1");
}

TEST(SettingsFile, IntegerKeys)
{
    struct Case {
        const char *file;
        std::int32_t comNo;
        std::int32_t speed;
    };
    const Case cases[] = {
        {"[INI]\r\nSPEED=abc\r\n", 1, 9600},
        {"[INI]\r\nCOMM=3\r\n", 3, 9600},
        {"[INI]\r\nCOMM=0x3\r\n", 3, 9600},
        {"[INI]\r\nCOMM=$3\r\n", 3, 9600},
        {"[INI]\r\nCOMM=X3\r\nSPEED=0X1C200\r\n", 3, 115200},
        {"[ini]\r\ncomm=-2\r\nspeed=\r\n", -2, 9600},
        {"[INI]\r\nCOMM=3 \r\nSPEED=2147483648\r\n", 3, 9600},
        {"[INI]\r\nCOMM=3x\r\nSPEED=19200\r\n", 1, 19200},
    };
    for (const auto &c : cases) {
        const Settings s = Read(c.file);
        EXPECT_EQ(s.comm.ComNo, c.comNo) << c.file;
        EXPECT_EQ(s.comm.Speed, c.speed) << c.file;
    }
    // Written back in decimal.
    const std::string out = Written(Read("[INI]\r\nCOMM=0x3\r\n"));
    EXPECT_NE(out.find("COMM=3\r\n"), std::string::npos) << out;
}

TEST(SettingsFile, TextKeysAreTrimmedAndKeptAsTheyAre)
{
    const Settings s = Read("[INI]\r\nPARITY=\" EVEN\t\"\r\nSTOPBIT=\"\x01 2 \"\r\nFLOW=\r\n");
    EXPECT_EQ(s.comm.Parity, "EVEN");
    EXPECT_EQ(s.comm.StopBits, "2");
    EXPECT_EQ(s.comm.Flow, "") << "a key with an empty value gives the empty text";

    const Settings lower = Read("[INI]\r\nPARITY=even\r\n");
    EXPECT_EQ(lower.comm.Parity, "even");
    EXPECT_EQ(StatusText(lower.comm), "COM:1 9600 8 e 1");
    EXPECT_NE(Written(lower).find("PARITY=even\r\n"), std::string::npos);
}

TEST(SettingsFile, ControlRanges)
{
    struct Case {
        const char *file;
        std::int32_t mode, delimiter, page;
        const char *writtenMode, *writtenDelimiter, *writtenPage;
    };
    const Case cases[] = {
        {"[RecvSet]\r\nRETCODE=7\r\n", -1, 0, 0, "RETCODE=-1", "DELIMITER=0", "PAGE=0"},
        {"[RecvSet]\r\nRETCODE=2\r\n[SendDelimiter]\r\nDELIMITER=9\r\n", 2, 2, 0, "RETCODE=2", "DELIMITER=2",
         "PAGE=0"},
        {"[SendDelimiter]\r\nDELIMITER=-5\r\n[DISP]\r\nPAGE=4\r\n", 0, -1, -1, "RETCODE=0", "DELIMITER=-1",
         "PAGE=-1"},
        {"[SendDelimiter]\r\nDELIMITER=-1\r\n[DISP]\r\nPAGE=3\r\n", 0, -1, 3, "RETCODE=0", "DELIMITER=-1",
         "PAGE=3"},
    };
    for (const auto &c : cases) {
        const Settings s = Read(c.file);
        EXPECT_EQ(s.lineBreakMode, c.mode) << c.file;
        EXPECT_EQ(s.delimiter, c.delimiter) << c.file;
        EXPECT_EQ(s.activePage, c.page) << c.file;
        const std::string out = Written(s);
        for (const char *key : {c.writtenMode, c.writtenDelimiter, c.writtenPage})
            EXPECT_NE(out.find(std::string(key) + "\r\n"), std::string::npos) << key << "\n" << out;
    }
}

TEST(SettingsFile, PageFlags)
{
    const Settings s = Read("[DISP]\r\nHEXPAGE=0\r\nDECPAGE=5\r\nCHARPAGE=x\r\nTEXTPAGE=0x0\r\n");
    EXPECT_EQ(s.pageShown, (std::vector<bool>{false, true, true, false}));
    const std::string out = Written(s);
    EXPECT_NE(out.find("HEXPAGE=0\r\nDECPAGE=1\r\nCHARPAGE=1\r\nTEXTPAGE=0\r\n"), std::string::npos) << out;
}

TEST(SettingsFile, WrittenFromScratchInOrder)
{
    Settings s;
    s.comm.ComNo = 4;
    s.comm.RecvLineWait = 20;
    s.geometry = {600, 900, -10, 5};
    const std::string out = Written(s);
    EXPECT_EQ(out, "[INI]\r\nCOMM=4\r\nSPEED=9600\r\nWORDSIZE=8\r\nPARITY=NONE\r\nSTOPBIT=1\r\nFLOW=NONE\r\n"
                   "[RecvSet]\r\nRETCODE=0\r\n"
                   "[SendDelimiter]\r\nDELIMITER=0\r\n"
                   "[CharDelayTime]\r\nCharDelayTime=20\r\n"
                   "[MODE]\r\nCTRL_CHECK=1\r\n"
                   "[DISP]\r\nPAGE=0\r\nHEXPAGE=1\r\nDECPAGE=1\r\nCHARPAGE=1\r\nTEXTPAGE=1\r\n"
                   "[POS]\r\nHEIGHT=600\r\nWIDTH=900\r\nTOP=-10\r\nLEFT=5\r\n");
    // Read back, every key comes home.
    const Settings back = Read(out);
    EXPECT_EQ(back.comm.ComNo, 4);
    EXPECT_EQ(back.comm.RecvLineWait, 20);
    EXPECT_EQ(back.geometry.top, -10);
    EXPECT_EQ(back.geometry.left, 5);
}

TEST(SettingsFile, UnknownSectionsAndKeysSurvive)
{
    const std::string before = "; comment\r\n[PORTS]\r\nCOM3=loopback\r\n[pos]\r\nLEFT=1\r\nOther=x\r\n";
    Settings s;
    s.geometry.left = 77;
    const std::string out = Written(s, before);
    EXPECT_EQ(out.rfind("; comment\r\n[PORTS]\r\nCOM3=loopback\r\n[pos]\r\nLEFT=77\r\nOther=x\r\n", 0), 0u)
        << out;
    EXPECT_NE(out.find("[INI]\r\nCOMM=1"), std::string::npos);
}

TEST(StatusText, Fields)
{
    struct Case {
        const char *parity, *stopBits;
        const char *text;
    };
    const Case cases[] = {
        {"EVEN", "1", "COM:3 115200 7 E 1"}, {"ODD", "2", "COM:3 115200 7 O 2"},
        {"", "1", "COM:3 115200 7  1"},      {"NONE", "1.5", "COM:3 115200 7 N 1.5"},
        {"NONE", "", "COM:3 115200 7 N "},   {"NONE", "$2", "COM:3 115200 7 N 2"},
    };
    for (const auto &c : cases) {
        CommSettings s;
        s.ComNo = 3;
        s.Speed = 115200;
        s.WordSize = 7;
        s.Parity = c.parity;
        s.StopBits = c.stopBits;
        EXPECT_EQ(StatusText(s), c.text);
    }
}

} // namespace

// The settings dialog's OK, control values in, settings or refusal out.
TEST(SettingsFromDialog, MapsTheControlsOrRefuses)
{
    using core::CommSettingsError;
    struct Case {
        const char *name;
        core::CommSettingsInput input;
        CommSettingsError error;
        std::int32_t com, speed, word, wait;
        const char *parity, *stop, *flow;
        std::int32_t ctrl;
    };
    const core::CommSettings current{3, 4800, 7, "ODD", "2", "RTS/CTS", 100, 1};
    const Case cases[] = {
        {"all set",
         {"115200", "250", 1, 1, 1, 1, 0, false},
         CommSettingsError::None,
         2,
         115200,
         8,
         250,
         "EVEN",
         "1.5",
         "NONE",
         0},
        {"hex rate, empty choices keep",
         {"0x2580", "5000", 0, 0, -1, -1, -1, true},
         CommSettingsError::None,
         1,
         9600,
         7,
         5000,
         "ODD",
         "2",
         "RTS/CTS",
         1},
        {"no port chosen",
         {"9600", "1", -1, 1, 0, 0, 1, true},
         CommSettingsError::None,
         0,
         9600,
         8,
         1,
         "NONE",
         "1",
         "RTS/CTS",
         1},
        {"rate zero",
         {"0", "250", 1, 1, 1, 1, 1, true},
         CommSettingsError::Speed,
         3,
         4800,
         7,
         100,
         "ODD",
         "2",
         "RTS/CTS",
         1},
        {"rate not a number",
         {"96OO", "250", 1, 1, 1, 1, 1, true},
         CommSettingsError::Speed,
         3,
         4800,
         7,
         100,
         "ODD",
         "2",
         "RTS/CTS",
         1},
        {"wait too long",
         {"9600", "5001", 1, 1, 1, 1, 1, true},
         CommSettingsError::LineWait,
         3,
         4800,
         7,
         100,
         "ODD",
         "2",
         "RTS/CTS",
         1},
        {"wait empty",
         {"9600", "", 1, 1, 1, 1, 1, true},
         CommSettingsError::LineWait,
         3,
         4800,
         7,
         100,
         "ODD",
         "2",
         "RTS/CTS",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const core::CommSettingsOutcome out = core::SettingsFromDialog(current, c.input);
        EXPECT_EQ(out.error, c.error);
        const core::CommSettings &s = out.settings;
        EXPECT_EQ(s.ComNo, c.com);
        EXPECT_EQ(s.Speed, c.speed);
        EXPECT_EQ(s.WordSize, c.word);
        EXPECT_EQ(s.RecvLineWait, c.wait);
        EXPECT_EQ(s.Parity, c.parity);
        EXPECT_EQ(s.StopBits, c.stop);
        EXPECT_EQ(s.Flow, c.flow);
        EXPECT_EQ(s.CtrlCheck, c.ctrl);
    }
}
