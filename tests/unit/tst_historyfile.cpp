// SPDX-License-Identifier: MIT
// "SendCombo.dat": splitting, writing and the file round trip.
#include "HistoryFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace core;
namespace fs = std::filesystem;

namespace
{

using Entries = std::vector<std::string>;

TEST(HistoryFile, Parse)
{
    struct Case {
        std::string bytes;
        Entries entries;
    };
    const Case cases[] = {
        {"", {}},
        {"a\r\n", {"a"}},
        {"a", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"\r\n", {""}},
        {"a\r\n\r\nb\r\n", {"a", "", "b"}},
        {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\r\nb", {"a", "", "b"}},
        {std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
        {std::string("\0a", 2), {}},
        {"\x82\xa0\r\n 01,\"x\" \r\n", {"\x82\xa0", " 01,\"x\" "}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ParseHistory(c.bytes), c.entries) << c.bytes;
}

TEST(HistoryFile, Serialize)
{
    EXPECT_EQ(SerializeHistory({}), "");
    EXPECT_EQ(SerializeHistory({""}), "\r\n");
    EXPECT_EQ(SerializeHistory({"a", "", "b"}), "a\r\n\r\nb\r\n");
}

class HistoryDir : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::random_device rd;
        m_dir = fs::temp_directory_path() / ("quorvel-history-" + std::to_string(rd()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string path() const { return (m_dir / kHistoryFileName).string(); }
    void put(const std::string &bytes) const { std::ofstream(path(), std::ios::binary) << bytes; }
    std::string get() const
    {
        std::ifstream in(path(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path m_dir;
};

TEST_F(HistoryDir, EightyLinesLoadAndLastLineWithoutBreakIsWrittenWithOne)
{
    std::string bytes;
    for (int i = 0; i < 80; ++i)
        bytes += "entry " + std::to_string(i) + (i < 79 ? "\r\n" : "");
    put(bytes);
    Entries e;
    ASSERT_TRUE(LoadHistoryFile(path(), e));
    ASSERT_EQ(e.size(), 80u);
    EXPECT_EQ(e[79], "entry 79");
    ASSERT_TRUE(SaveHistoryFile(path(), e));
    EXPECT_EQ(get(), bytes + "\r\n");
}

TEST_F(HistoryDir, MissingFileAndEmptyList)
{
    Entries e{"kept"};
    EXPECT_FALSE(LoadHistoryFile(path(), e));
    EXPECT_EQ(e, Entries{"kept"});
    ASSERT_TRUE(SaveHistoryFile(path(), {}));
    EXPECT_TRUE(fs::exists(path()));
    EXPECT_EQ(get(), "");
    ASSERT_TRUE(LoadHistoryFile(path(), e));
    EXPECT_TRUE(e.empty());
}

TEST_F(HistoryDir, FailedSaveLeavesTheOldFile)
{
    put("old\r\n");
    const std::string missing = (m_dir / "no-such-folder" / kHistoryFileName).string();
    std::string error;
    EXPECT_FALSE(SaveHistoryFile(missing, {"new"}, &error));
    EXPECT_FALSE(error.empty());
    // A target that cannot be replaced (a folder in its place) keeps what stands there.
    fs::remove(path());
    fs::create_directories(fs::path(path()) / "inside");
    EXPECT_FALSE(SaveHistoryFile(path(), {"new"}, &error));
    EXPECT_TRUE(fs::is_directory(fs::path(path()) / "inside"));
    for (const auto &entry : fs::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename(), kHistoryFileName) << "no temporary file left behind";
}

} // namespace
