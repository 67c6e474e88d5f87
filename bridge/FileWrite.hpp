#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace quillon {

// Writes bytes into dir under stem + "." + ext, or, when something already has that name,
// stem + "-1." + ext, stem + "-2." + ext, ..., never replacing anything: the bytes go to a hidden
// temporary file in dir first, which is flushed and then published under the first free name with
// a no-replace rename (or link and unlink), so another program creating the same name at the same
// moment only pushes this file to the next suffix. No temporary file is left behind on any
// failure. Returns the path written, or nothing when the write failed (permission, disk full,
// folder gone). Any thread.
std::optional<std::filesystem::path> writeNewFile(const std::filesystem::path& dir,
                                                  const std::string& stem, const std::string& ext,
                                                  std::span<const unsigned char> bytes);

// True when files can be created in dir (it exists, is a folder, and the process may write there).
bool isWritableFolder(const std::filesystem::path& dir);

}  // namespace quillon
