// SPDX-License-Identifier: MIT
// The pages' log files, one per page of the table, and the pick-up and caret offsets.
#include "PageFiles.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

using namespace core;
namespace fs = std::filesystem;

namespace
{

class LogDir : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (int i = 0; i < kPageCount; ++i) {
            set.page[i] = &page[i];
            set.visible[i] = true;
            page[i].add(std::string("[IN ]  page ") + StandardPages()[i].filePart);
            page[i].add("");
        }
    }
    std::string file(int i) const { return PageFilePath(m_dir.string(), i); }
    std::string get(int i) const
    {
        std::ifstream in(file(i), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void put(int i, const std::string &bytes) const { std::ofstream(file(i), std::ios::binary) << bytes; }

    TempDir m_tmp{"quorvel-pagefiles"};
    const fs::path m_dir = m_tmp.path();
    std::array<Page, kPageCount> page;
    PageSet set;
};

TEST_F(LogDir, FileNames)
{
    EXPECT_EQ(PageFilePath("/opt/q/", kPageHex), "/opt/q/BackLogHEX.txt");
    EXPECT_EQ(PageFilePath("/opt/q", kPageDec), "/opt/q/BackLogDEC.txt");
    EXPECT_EQ(PageFilePath("/opt/q/", kPageChar), "/opt/q/BackLogCHAR.txt");
    EXPECT_EQ(PageFilePath("/opt/q/", kPageText), "/opt/q/BackLogTEXT.txt");
}

// A page table of its own with a fifth page (octal cells, its own file): the pipeline fills its
// model and the save writes its file like the others', with no other change anywhere.
TEST_F(LogDir, AFifthPageOfATableOfItsOwn)
{
    std::vector<PageKind> kinds = StandardPages().kinds();
    PageKind oct = kinds[kPageHex];
    oct.name = "OCT";
    oct.filePart = "OCT.txt";
    oct.cells = RxCellTable{};
    for (int b = 0; b < 256; ++b) {
        char text[8];
        std::snprintf(text, sizeof text, " %03o", b);
        oct.cells.set(static_cast<std::uint8_t>(b), text);
    }
    kinds.push_back(oct);
    const PageTable table(std::move(kinds));
    std::vector<Page> pages(5);
    PageSet five(table);
    for (int i = 0; i < 5; ++i) {
        five.page[i] = &pages[static_cast<std::size_t>(i)];
        five.visible[i] = true;
        pages[static_cast<std::size_t>(i)].add("");
    }
    RxPipeline rx;
    const std::uint8_t ab[] = {'A', 'B', '\r'};
    rx.receive(ab, sizeof ab, 1);
    rx.tick(2, kBreakOnCr, 500, five, {});
    EXPECT_EQ(pages[4].line(0), "[IN ]   101 102 015");
    EXPECT_EQ(pages[kPageHex].line(0), "[IN ]   41   42   0D  ");
    ASSERT_TRUE(SavePageFiles(m_dir.string(), five).ok);
    std::ifstream in(m_dir / "BackLogOCT.txt", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "[IN ]   101 102 015\r\n\r\n");
    EXPECT_EQ(get(kPageHex), "[IN ]   41   42   0D  \r\n\r\n");
}

TEST_F(LogDir, OnlyShownPagesAreWritten)
{
    set.visible = {true, false, false, true};
    put(kPageDec, "old DEC");
    const auto r = SavePageFiles(m_dir.string(), set);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(get(kPageHex), "[IN ]  page HEX.txt\r\n\r\n");
    EXPECT_EQ(get(kPageText), "[IN ]  page TEXT.txt\r\n\r\n");
    EXPECT_EQ(get(kPageDec), "old DEC");
    EXPECT_FALSE(fs::exists(file(kPageChar)));
}

TEST_F(LogDir, SavingTwiceKeepsOnlyTheSecond)
{
    page[kPageHex].add("a much longer line than the second save will have");
    ASSERT_TRUE(SavePageFiles(m_dir.string(), set).ok);
    page[kPageHex].clear();
    page[kPageHex].add("\x82\xa0 bytes as they are \xff");
    ASSERT_TRUE(SavePageFiles(m_dir.string(), set).ok);
    EXPECT_EQ(get(kPageHex), "\x82\xa0 bytes as they are \xff\r\n");
    page[kPageHex].clear();
    ASSERT_TRUE(SavePageFiles(m_dir.string(), set).ok);
    EXPECT_EQ(get(kPageHex), "") << "an empty page gives an empty file";
}

TEST_F(LogDir, FailureStopsThereAndChangesNothing)
{
    for (int i = 0; i < kPageCount; ++i)
        put(i, "old");
    // BackLogDEC.txt cannot be replaced: a folder stands in its place.
    fs::remove(file(kPageDec));
    fs::create_directories(fs::path(file(kPageDec)) / "x");
    const std::string textBefore = page[kPageChar].fileText();
    const auto r = SavePageFiles(m_dir.string(), set);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failedPage, kPageDec);
    EXPECT_EQ(r.path, file(kPageDec));
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(get(kPageHex), page[kPageHex].fileText()) << "pages before the failure are saved";
    EXPECT_EQ(get(kPageChar), "old") << "pages after it are not";
    EXPECT_EQ(get(kPageText), "old");
    EXPECT_EQ(page[kPageChar].fileText(), textBefore);
    EXPECT_EQ(page[kPageDec].count(), 2);

    const auto missing = SavePageFiles((m_dir / "gone").string(), set);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.failedPage, kPageHex);
}

TEST(PickUp, LineAtOffset)
{
    Page p;
    for (const char *l : {"[IN ]   41  ", "", "xy", ""})
        p.add(l);
    // Whole text "[IN ]   41  " CR LF "" CR LF "xy" CR LF "": starts at 0, 14, 16, 20.
    struct Case {
        std::size_t offset;
        std::size_t breakLength;
        int line;
    };
    const Case cases[] = {
        {0, 2, 0},  {11, 2, 0}, {12, 2, 0}, {13, 2, 0}, {14, 2, 1}, {15, 2, 1}, {16, 2, 2},
        {19, 2, 2}, {20, 2, 3}, {99, 2, 3}, {12, 1, 0}, {13, 1, 1}, {14, 1, 2}, {17, 1, 3},
    };
    for (const auto &c : cases)
        EXPECT_EQ(LineAtOffset(p, c.offset, c.breakLength), c.line) << c.offset << "/" << c.breakLength;
    EXPECT_EQ(TextLength(p), 20u);
    EXPECT_EQ(TextLength(p, 1), 17u);
    EXPECT_EQ(LineStart(p, 2), 16u);
    EXPECT_EQ(LineStart(p, 3, 1), 17u);
    EXPECT_EQ(LineAtOffset(Page(), 5), 0);
    EXPECT_EQ(TextLength(Page()), 0u);

    EXPECT_EQ(PickUpLine(p, 0), std::optional<std::string>("[IN ]   41  "));
    EXPECT_EQ(PickUpLine(p, 1), std::nullopt) << "an empty line picks nothing";
    EXPECT_EQ(PickUpLine(p, 4), std::nullopt);
    EXPECT_EQ(PickUpLine(p, LineAtOffset(p, 17)), std::optional<std::string>("xy"));
}

} // namespace
