// SPDX-License-Identifier: MIT
#include "AppendFile.h"
#include "FileIo.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>

namespace fs = std::filesystem;
using platform::FileExists;
using platform::ReadWholeFile;
using platform::WriteFileAtomic;

namespace
{

std::set<std::string> Entries(const fs::path &dir)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

void Put(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(ReadWholeFile, ReadsEveryByteOrNothing)
{
    TempDir dir;
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    Put(dir.path() / "big", big);
    Put(dir.path() / "empty", "");

    EXPECT_EQ(ReadWholeFile((dir.path() / "big").string()), big);
    EXPECT_EQ(ReadWholeFile((dir.path() / "empty").string()), std::string());
    EXPECT_EQ(ReadWholeFile((dir.path() / "missing").string()), std::nullopt);
    EXPECT_EQ(ReadWholeFile(dir.path().string()), std::nullopt); // a folder is no file

    EXPECT_TRUE(FileExists((dir.path() / "empty").string()));
    EXPECT_FALSE(FileExists((dir.path() / "missing").string()));
    EXPECT_FALSE(FileExists(dir.path().string()));
}

TEST(WriteFileAtomic, CreatesAndReplacesLeavingNoTemporaryFile)
{
    TempDir dir;
    const fs::path target = dir.path() / "Quorvel.ini";
    std::string error = "untouched";

    ASSERT_TRUE(WriteFileAtomic(target.string(), "first\r\n", &error));
    EXPECT_EQ(ReadWholeFile(target.string()), "first\r\n");

    // An existing file keeps its permissions when replaced.
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    const std::string second(100000, 'z');
    ASSERT_TRUE(WriteFileAtomic(target.string(), second, &error));
    EXPECT_EQ(ReadWholeFile(target.string()), second);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    ASSERT_TRUE(WriteFileAtomic(target.string(), "", &error));
    EXPECT_EQ(ReadWholeFile(target.string()), std::string());
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"Quorvel.ini"});
}

struct FailureCase {
    const char *name;
    // Prepares the folder; returns the path to write to, or "" to skip (with the reason set).
    std::function<fs::path(const fs::path &dir, std::string *skip)> prepare;
};

class WriteFileAtomicFailure : public testing::TestWithParam<FailureCase>
{
};

// A failed write says why, keeps whatever was at the target and leaves no temporary file.
TEST_P(WriteFileAtomicFailure, KeepsTheOldFileWhole)
{
    TempDir dir;
    std::string skip;
    const fs::path target = GetParam().prepare(dir.path(), &skip);
    if (target.empty())
        GTEST_SKIP() << skip;
    const fs::path folder = target.parent_path();
    const bool hadFolder = fs::exists(folder);
    const auto before = hadFolder ? Entries(folder) : std::set<std::string>{};
    const auto oldBytes = ReadWholeFile(target.string());

    std::string error;
    EXPECT_FALSE(WriteFileAtomic(target.string(), "new contents\r\n", &error));
    EXPECT_NE(error.find(target.string()), std::string::npos) << error;

    std::error_code ec; // the folder may not exist
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ec);
    EXPECT_EQ(ReadWholeFile(target.string()), oldBytes);
    if (hadFolder) {
        EXPECT_EQ(Entries(folder), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, WriteFileAtomicFailure,
    testing::Values(FailureCase{"read_only_folder",
                                [](const fs::path &dir, std::string *skip) {
                                    const fs::path folder = dir / "ro";
                                    fs::create_directory(folder);
                                    Put(folder / "Quorvel.ini", "[INI]\r\nSPEED=9600\r\n");
                                    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
                                    // Privileged users write anyway: find out without touching the target.
                                    if (std::ofstream(folder / "probe")) {
                                        fs::remove(folder / "probe");
                                        *skip = "folder permissions do not bind this user (privileged)";
                                        return fs::path();
                                    }
                                    return folder / "Quorvel.ini";
                                }},
                    FailureCase{"no_room_for_temporary_name",
                                [](const fs::path &dir, std::string *) {
                                    const fs::path target = dir / std::string(250, 'n');
                                    Put(target, "old bytes");
                                    return target;
                                }},
                    FailureCase{"target_is_a_folder",
                                [](const fs::path &dir, std::string *) {
                                    const fs::path target = dir / "Quorvel.ini";
                                    fs::create_directory(target);
                                    Put(target / "inside", "kept");
                                    return target;
                                }},
                    FailureCase{
                        "missing_folder",
                        [](const fs::path &dir, std::string *) { return dir / "absent" / "Quorvel.ini"; }}),
    [](const testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.name); });

} // namespace

// A log file is only ever created new and written at its end; an existing file is not touched.
TEST(AppendFile, CreatesNewOnlyAndAppends)
{
    TempDir dir;
    const std::string path = dir.file("a.log");
    Put(path, "old");
    platform::AppendFile file;
    std::string error;
    EXPECT_FALSE(file.create(path, &error));
    EXPECT_NE(error.find("a.log"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(path), "old");

    const std::string fresh = dir.file("b.log");
    ASSERT_TRUE(file.create(fresh, &error)) << error;
    EXPECT_TRUE(file.write("one\r\n"));
    EXPECT_EQ(ReadWholeFile(fresh), "one\r\n"); // in the file at once: a crash keeps it
    EXPECT_TRUE(file.write("two\r\n") && file.syncData() && file.close());
    EXPECT_EQ(ReadWholeFile(fresh), "one\r\ntwo\r\n");
    EXPECT_FALSE(file.write("three", &error)); // closed
}
