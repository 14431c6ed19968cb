// SPDX-License-Identifier: MIT
// INI files with the semantics of the Windows profile-string calls, which the program's files
// (settings, registered buttons) were written with:
//   - section and key names match without regard to letter case (ASCII);
//   - a value is read with blanks and tabs removed at both ends, then one pair of enclosing
//     double quotes removed, and cut to 2047 characters (the 2048-byte buffer of the caller);
//   - a write replaces the key's value in place, or appends the key at the end of its section,
//     or appends the section at the end of the file; every other line stays as it was, byte for
//     byte (comments, unknown sections and keys, line ends);
//   - new lines are written as "key=value" and end in CR LF.
// Files are bytes (CP932); nothing is converted. Saving writes a temporary file beside the target
// and renames it over the target, so a crash or a full disk never leaves a half-written file.
#pragma once

#include <string>
#include <vector>

namespace platform
{

class IniFile
{
  public:
    IniFile() = default;
    // Reads the file; a missing file gives an empty document (not an error). Returns false only
    // when the file exists but cannot be read.
    bool load(const std::string &path);
    // Writes the document to `path` atomically. Returns false (and leaves the old file untouched)
    // when it cannot be written; errorText() then says why.
    bool save(const std::string &path) const;

    // GetPrivateProfileStringA: the value, or `def` when the section or key is missing.
    std::string get(const std::string &section, const std::string &key, const std::string &def) const;
    bool contains(const std::string &section, const std::string &key) const;
    bool hasSection(const std::string &section) const;
    // WritePrivateProfileStringA without a key: the section goes, with every line in it.
    void removeSection(const std::string &section);
    // WritePrivateProfileStringA with a value.
    void set(const std::string &section, const std::string &key, const std::string &value);

    // The whole document as it would be saved.
    std::string text() const;
    void setText(std::string text);

    const std::string &errorText() const { return m_error; }

  private:
    std::vector<std::string> m_lines; // each line without its end
    std::vector<std::string> m_ends;  // its line end as read ("\r\n", "\n", "\r" or "")
    mutable std::string m_error;
};

constexpr std::size_t kProfileValueMax = 2047;

// The Windows calls themselves, one file access each.
std::string GetPrivateProfileStringA(const std::string &section, const std::string &key,
                                     const std::string &def, const std::string &path);
bool WritePrivateProfileStringA(const std::string &section, const std::string &key, const std::string &value,
                                const std::string &path);

} // namespace platform
