// SPDX-License-Identifier: MIT
// Whole-file reads and crash-safe writes of the program's files.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform
{

// The file's bytes, or nothing when it does not exist or cannot be read.
std::optional<std::string> ReadWholeFile(const std::string &path);
bool FileExists(const std::string &path);

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it over `path`: a
// crash or a full disk in the middle leaves the old file whole. On failure returns false, removes
// the temporary file, leaves the old file untouched and puts the reason in *error (if given).
// Unflushed skips the flush to the disk: the program crashing still leaves a whole file, only the
// machine losing power may not. For files that are written again many times a second.
enum class Durability { Flushed, Unflushed };
bool WriteFileAtomic(const std::string &path, const std::string &bytes, std::string *error = nullptr,
                     Durability durability = Durability::Flushed);
// The same, with the file's bytes given as pieces one after the other.
bool WriteFileAtomic(const std::string &path, std::span<const std::string_view> pieces, std::string *error,
                     Durability durability);

} // namespace platform
