#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace quillon {

// Lower-case extensions of files taken as a video or an animated GIF when dropped.
inline const std::set<std::string, std::less<>> kStillsExtensions = {"mov", "mp4", "m4v",  "webm", "avi",
                                                                     "mkv", "mpg", "mpeg", "m2v",  "gif"};

// Lower-case extensions of files taken as images. "gif" is a stills extension, not an image one.
inline const std::set<std::string, std::less<>> kImageExtensions = {
    "png", "jpg", "jpeg", "tiff", "tif", "heic", "heif", "bmp", "webp", "jp2", "psd", "avif"};

// The text after the last dot of the file name, lower-cased (ASCII); empty when there is no dot
// or the name starts with its only dot. ".png" has no extension; "a.tar.gz" has "gz".
std::string lowerExtension(const std::filesystem::path& file);

}  // namespace quillon
