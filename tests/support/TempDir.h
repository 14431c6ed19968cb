// SPDX-License-Identifier: MIT
// A folder of its own under the system's temporary folder for a test, removed with everything in
// it (permissions a test took away are given back first).
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class TempDir
{
  public:
    explicit TempDir(const std::string &prefix = "quorvel-test")
    {
        std::random_device rd;
        for (;;) {
            m_path = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(rd()));
            if (std::filesystem::create_directory(m_path))
                break;
        }
    }
    ~TempDir()
    {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
        for (const auto &e : fs::recursive_directory_iterator(m_path, ec))
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return m_path; }
    std::string file(const std::string &name) const { return (m_path / name).string(); }

  private:
    std::filesystem::path m_path;
};
