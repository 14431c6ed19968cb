// SPDX-License-Identifier: MIT
// The registered send texts: what the register buttons store, what the send buttons then send,
// and "PButton.ini" across a save and a load.
#include "Ini.h"
#include "MixSend.h"
#include "ProgButtons.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

using namespace core;
namespace fs = std::filesystem;

namespace
{

class ProgButtonDir : public ::testing::Test
{
  protected:
    std::string path() const { return (m_dir / std::string(kProgButtonFile)).string(); }
    std::string fileText() const
    {
        std::ifstream in(path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempDir m_tmp{"quorvel-progbuttons"};
    const fs::path m_dir = m_tmp.path();
};

std::string SendNormal(const std::string &text)
{
    return PlanMixSend(text, MixForm::Normal, MixType::Hex).bytes();
}

TEST(ProgButtons, RegisterAsValue)
{
    const auto text = RegisterProgText(R"(0x02,"AB",0x03)", false, 2);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"(0x02,"AB",0x03)");
    EXPECT_EQ(SendNormal(*text), "\x02"
                                 "AB\x03");
    EXPECT_EQ(RegisterProgText("  x  ", false, 0), "  x  "); // stored untrimmed
}

TEST(ProgButtons, RegisterAsString)
{
    struct Row {
        int delimiter;
        std::string text;
        std::string bytes;
    };
    const std::vector<Row> rows = {
        {1, R"("AB C",0x0d)", "AB C\r"},
        {2, R"("AB C",0x0d,0x0a)", "AB C\r\n"},
        {0, R"("AB C")", "AB C"},
        {-1, R"("AB C")", "AB C"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.delimiter);
        const auto text = RegisterProgText("AB C", true, row.delimiter);
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, row.text);
        EXPECT_EQ(SendNormal(*text), row.bytes);
    }
    // an inner quote ends the string item when sent
    const auto quoted = RegisterProgText(R"(say "hi" now)", true, 1);
    ASSERT_TRUE(quoted);
    EXPECT_EQ(*quoted, R"("say "hi" now",0x0d)");
    EXPECT_EQ(SendNormal(*quoted), "say \r");
}

TEST(ProgButtons, BlankTexts)
{
    for (const std::string box : {"", " ", "\t \r\n"}) {
        EXPECT_FALSE(RegisterProgText(box, false, 0));
        EXPECT_FALSE(RegisterProgText(box, true, 2));
        EXPECT_FALSE(ProgTextSendable(box));
    }
    EXPECT_TRUE(ProgTextSendable(" 1 "));
}

using ProgButtonFile = ProgButtonDir;

TEST_F(ProgButtonFile, MissingFileGivesEmptyTexts)
{
    EXPECT_EQ(LoadProgButtons(path()), ProgTexts{});
}

TEST_F(ProgButtonFile, SaveAndLoadKeepBlanksAndQuotes)
{
    const ProgTexts texts = {"  blanks at both ends  ", R"(0x02,"AB",0x03)", "", R"("AB C",0x0d,0x0a)"};
    std::string error;
    ASSERT_TRUE(SaveProgButtons(path(), texts, &error)) << error;
    EXPECT_NE(fileText().find(R"(BTN2="0x02,"AB",0x03")"), std::string::npos) << fileText();
    EXPECT_NE(fileText().find("BTN3=\"\""), std::string::npos) << fileText();
    EXPECT_EQ(LoadProgButtons(path()), texts);

    // a second save replaces the values in place
    ProgTexts changed = texts;
    changed[0] = "\"";
    ASSERT_TRUE(SaveProgButtons(path(), changed, &error)) << error;
    EXPECT_EQ(LoadProgButtons(path()), changed);
    EXPECT_EQ(fileText().find("BTN1=\"  blanks"), std::string::npos);
}

TEST_F(ProgButtonFile, OtherSectionsAndKeysStay)
{
    {
        std::ofstream out(path(), std::ios::binary);
        out << "; mine\r\n[Other]\r\nkey=value\r\n[ProgButtonSet]\r\nBTN1=\"old\"\r\nExtra=1\r\n";
    }
    const ProgTexts texts = {"new", "b", "c", "d"};
    ASSERT_TRUE(SaveProgButtons(path(), texts));
    const std::string text = fileText();
    EXPECT_NE(text.find("; mine\r\n[Other]\r\nkey=value\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Extra=1"), std::string::npos) << text;
    EXPECT_EQ(text.find("old"), std::string::npos) << text;
    EXPECT_EQ(LoadProgButtons(path()), texts);
    EXPECT_EQ(platform::GetPrivateProfileStringA("Other", "key", "", path()), "value");
}

// The copy beside the executable that cannot be written: its other lines go on in the user's copy,
// and it stays as it was.
TEST_F(ProgButtonFile, UserCopyTakesOverTheFileItWasReadFrom)
{
    const std::string shared = (m_dir / "shared.ini").string();
    const std::string sharedText = "[Other]\r\nkey=value\r\n[ProgButtonSet]\r\nBTN1=\"old\"\r\n";
    std::ofstream(shared, std::ios::binary) << sharedText;
    const ProgTexts texts = {"new", "b", "c", "d"};
    ASSERT_TRUE(SaveProgButtons(path(), texts, nullptr, shared));
    EXPECT_EQ(LoadProgButtons(path()), texts);
    EXPECT_EQ(platform::GetPrivateProfileStringA("Other", "key", "", path()), "value");
    std::ifstream in(shared, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), sharedText);
}

TEST_F(ProgButtonFile, UnwritableFolderIsReported)
{
    const std::string missing = (m_dir / "no-such-folder" / std::string(kProgButtonFile)).string();
    std::string error;
    EXPECT_FALSE(SaveProgButtons(missing, ProgTexts{"a", "b", "c", "d"}, &error));
    EXPECT_FALSE(fs::exists(missing));
}

} // namespace
