// SPDX-License-Identifier: MIT
// Where the program keeps its files. The installed case, an executable's folder its user cannot
// write, needs a user other than root: scripts/check-install.sh runs the installed program so.
#include "ExePath.h"
#include "UserFiles.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace
{

// Sets or unsets one environment variable for the life of the object.
class EnvVar
{
  public:
    EnvVar(const char *name, const char *value) : m_name(name)
    {
        if (const char *old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar()
    {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }
    EnvVar(const EnvVar &) = delete;
    EnvVar &operator=(const EnvVar &) = delete;

  private:
    const char *m_name;
    std::optional<std::string> m_old;
};

TEST(UserFiles, WritableExeFolderKeepsTheFilesBesideTheExecutable)
{
    TempDir dir("quorvel-userfiles");
    const EnvVar xdg("XDG_CONFIG_HOME", dir.file("xdg").c_str());
    platform::SetExePathForTesting(dir.file("Quorvel"));
    const std::string beside = dir.path().string() + "/";
    EXPECT_EQ(platform::UserFileDir(), beside);
    EXPECT_EQ(platform::MakeUserFileDir(), beside);
    EXPECT_EQ(platform::SettingsFileName(), "Quorvel.ini");
    for (const std::string name : {"Quorvel.ini", "SendCombo.dat", "PButton.ini"}) {
        EXPECT_EQ(platform::UserFilePath(name), beside + name);
        EXPECT_EQ(platform::UserFileToWrite(name), beside + name);
        EXPECT_EQ(platform::UserFileToRead(name), beside + name);
    }
    EXPECT_FALSE(fs::exists(dir.file("xdg")));
    platform::SetExePathForTesting("");
}

// Laid out as an installation (its data folder beside its bin), the program keeps its files in
// the user's folder even where its own folder can be written, as every folder can by root.
TEST(UserFiles, InstalledCopyNeverWritesBesideItself)
{
    TempDir dir("quorvel-userfiles");
    fs::create_directories(dir.path() / "bin");
    fs::create_directories(dir.path() / "share" / "quorvel");
    const EnvVar xdg("XDG_CONFIG_HOME", dir.file("xdg").c_str());
    platform::SetExePathForTesting(dir.file("bin/Quorvel"));
    const std::string user = dir.file("xdg") + "/Quorvel/";
    EXPECT_EQ(platform::UserFileDir(), user);
    // Named to the user before the first close has written it, and nothing made for that.
    EXPECT_EQ(platform::UserFilePath("Quorvel.ini"), user + "Quorvel.ini");
    EXPECT_FALSE(fs::exists(dir.file("xdg")));
    EXPECT_EQ(platform::UserFileToWrite("Quorvel.ini"), user + "Quorvel.ini");
    EXPECT_TRUE(fs::is_directory(user));
    platform::SetExePathForTesting("");
}

TEST(UserFiles, ConfigFolderFollowsTheBaseDirectoryVariables)
{
    const EnvVar home("HOME", "/home/someone");
    {
        const EnvVar xdg("XDG_CONFIG_HOME", "/tmp/conf");
        EXPECT_EQ(platform::ConfigFileDir(), "/tmp/conf/Quorvel/");
    }
    {
        // A relative path is not to be used.
        const EnvVar xdg("XDG_CONFIG_HOME", "conf");
        EXPECT_EQ(platform::ConfigFileDir(), "/home/someone/.config/Quorvel/");
    }
    {
        const EnvVar xdg("XDG_CONFIG_HOME", "");
        EXPECT_EQ(platform::ConfigFileDir(), "/home/someone/.config/Quorvel/");
    }
    const EnvVar xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(platform::ConfigFileDir(), "/home/someone/.config/Quorvel/");
}

} // namespace
