#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace quillon {

// The folder that holds the running executable, read from /proc/self/exe; empty when that link
// cannot be read.
std::filesystem::path executableDir();

// The folder of the page for an executable in exeDir: "web" beside the executable (the build
// tree), else "../share/quillon/web" (an installed prefix), whichever holds index.html first.
// When neither does, the first: the page then fails to load and the window shows its background.
std::filesystem::path findWebFolder(const std::filesystem::path& exeDir);

// Maps the path part of a page request ("/index.html", "/lib/time%20format.js") to a regular file
// inside webRoot. Percent escapes are decoded. Returns nothing for a path that leaves webRoot
// ("..", an escaped "/", a symbolic link pointing outside), names a folder, or does not exist.
std::optional<std::filesystem::path> resolvePageFile(const std::filesystem::path& webRoot,
                                                     std::string_view requestPath);

// The MIME type a page file is served with, by its extension (any case);
// "application/octet-stream" when the extension is not one a page uses.
std::string_view pageMimeType(const std::filesystem::path& file);

}  // namespace quillon
