// SPDX-License-Identifier: MIT
// Continuous output: how a file is cut into mixed-send lines, and what those lines send.
#include "LineReader.h"
#include "MixSend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace core;
namespace fs = std::filesystem;

namespace
{

std::vector<std::string> ReadAll(LineReader &reader)
{
    std::vector<std::string> lines;
    std::string line;
    while (reader.next(line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Lines(const std::string &bytes)
{
    std::istringstream in(bytes);
    LineReader reader(in);
    return ReadAll(reader);
}

// The bytes a play-out of `bytes` sends, one plan per line, and how many lines are echoed.
std::pair<std::string, int> PlayOut(const std::string &bytes, MixForm form, MixType type)
{
    std::string sent;
    int echoed = 0;
    for (const auto &line : Lines(bytes)) {
        const auto plan = PlanMixSend(line, form, type);
        sent += plan.bytes();
        echoed += plan.sent ? 1 : 0;
    }
    return {sent, echoed};
}

TEST(LineReader, Cutting)
{
    struct Row {
        std::string name;
        std::string file;
        std::vector<std::string> lines;
    };
    const std::string big(6000, 'a');
    const std::vector<Row> rows = {
        {"three lines", "0x41\n\n\"AB\"\n", {"0x41", "", "\"AB\""}},
        {"no final line feed", "a\nb", {"a", "b"}},
        {"cr lf kept for the trimming", "a\r\nb\r\n", {"a\r", "b\r"}},
        {"only a line feed", "\n", {""}},
        {"empty file", "", {}},
        {"6000 bytes", big, {big.substr(0, 4999), big.substr(0, 1001)}},
        {"6000 bytes and a line feed", big + "\nz", {big.substr(0, 4999), big.substr(0, 1001), "z"}},
        {"4998 bytes and a line feed fit", std::string(4998, 'b') + "\nz", {std::string(4998, 'b'), "z"}},
        {"4999 bytes leave the line feed alone",
         std::string(4999, 'c') + "\nz",
         {std::string(4999, 'c'), "", "z"}},
        {"zero bytes pass", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Lines(row.file), row.lines) << row.name;
}

TEST(LineReader, LongInputAcrossReadChunks)
{
    std::string file;
    std::vector<std::string> want;
    for (int i = 0; i < 20000; ++i) {
        want.push_back(std::string(static_cast<std::size_t>(i % 97), 'x') + std::to_string(i));
        file += want.back() + "\n";
    }
    EXPECT_EQ(Lines(file), want);
}

TEST(LineReader, PlayOut)
{
    const auto N = MixForm::Normal;
    auto [bytes, echoed] = PlayOut("0x41\n\n\"AB\"\n", N, MixType::Hex);
    EXPECT_EQ(bytes, "AAB");
    EXPECT_EQ(echoed, 2);

    EXPECT_EQ(PlayOut("0x41\n\"AB\"", N, MixType::Hex).first, "AAB");
    EXPECT_EQ(PlayOut("0x41\r\n\r\n\"AB\"\r\n1,2\r\n", N, MixType::Hex),
              PlayOut("0x41\n\n\"AB\"\n1,2\n", N, MixType::Hex));
    EXPECT_EQ(PlayOut("hello\r\n65\r\n", MixForm::List, MixType::Text).first, "helloA");
    EXPECT_EQ(PlayOut("\n", N, MixType::Hex), std::make_pair(std::string(), 0));
}

TEST(LineReader, Files)
{
    std::random_device rd;
    const fs::path dir = fs::temp_directory_path() / ("quorvel-linereader-" + std::to_string(rd()));
    fs::create_directories(dir);
    const std::string path = (dir / "lines.txt").string();
    {
        std::ofstream out(path, std::ios::binary);
        out << "0x41\r\n\r\n\"AB\"";
    }
    {
        LineReader reader(path);
        ASSERT_TRUE(reader.isOpen());
        EXPECT_EQ(ReadAll(reader), (std::vector<std::string>{"0x41\r", "\r", "\"AB\""}));
    }
    LineReader missing((dir / "missing.txt").string());
    EXPECT_FALSE(missing.isOpen());
    std::string line;
    EXPECT_FALSE(missing.next(line));
    std::error_code ec;
    fs::remove_all(dir, ec);
}

} // namespace
