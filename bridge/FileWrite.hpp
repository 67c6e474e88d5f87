#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace quillon {

// Writes bytes into dir under stem + tail + "." + ext, or, when something already has that name,
// stem + tail + "-1." + ext, stem + tail + "-2." + ext, ..., never replacing anything. A name
// longer than the file system's 255 bytes has its stem shortened, at a UTF-8 character boundary,
// until it fits; the tail (which tells apart the stills of one clip), the suffix and the extension
// are kept whole.
// The bytes go to an unnamed file in dir (O_TMPFILE), which is flushed and then linked under the
// first free name, so nothing is visible in dir until the file is complete and a crash while
// writing leaves nothing behind. Where the file system has no unnamed files, they go to a hidden
// temporary file that is published with a no-replace rename (or link and unlink) and removed on
// any failure. Either way another program creating the same name at the same moment only pushes
// this file to the next suffix. Returns the path written, or nothing when the write failed
// (permission, disk full, folder gone, or a tail and extension too long for any name; errno is then
// ENAMETOOLONG). Any thread.
std::optional<std::filesystem::path> writeNewFile(const std::filesystem::path& dir, const std::string& stem,
                                                  const std::string& tail, const std::string& ext,
                                                  std::span<const unsigned char> bytes);

// The same with no tail.
std::optional<std::filesystem::path> writeNewFile(const std::filesystem::path& dir, const std::string& stem,
                                                  const std::string& ext,
                                                  std::span<const unsigned char> bytes);

// True when files can be created in dir (it exists, is a folder, and the process may write there).
bool isWritableFolder(const std::filesystem::path& dir);

}  // namespace quillon
