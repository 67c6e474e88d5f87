#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "media/FfmpegPtr.hpp"
#include "media/FileDescriptor.hpp"

namespace quillon {

// One opened input file: a regular file opened for reading, owned by this object and closed when
// it goes. Every file Quillon reads is opened through openInputFile, so that a FIFO, a device or a
// socket under a media name is refused at once instead of blocking the work queue (a FIFO's open
// waits for a writer) or feeding a decoder without end (/dev/zero).
class InputFile {
public:
    InputFile() = default;
    explicit InputFile(int fd) : fd_(fd) {}

    int fd() const { return fd_.get(); }

    // A name of this very file, valid while the descriptor is open: opening it opens the same
    // file even if its path has been renamed or replaced since.
    std::string procPath() const;

private:
    FileDescriptor fd_;
};

// Opens `file` for reading without blocking (O_NONBLOCK, so a FIFO without a writer does not
// wait) and without leaking into child processes, and keeps it only when the descriptor is a
// regular file. Nothing for anything else, or when it cannot be opened. Any thread.
std::optional<InputFile> openInputFile(const std::filesystem::path& file);

// Opens an opened file for demuxing with FFmpeg. Only the "file" protocol may be used, and the
// demuxers that read other files named by the input (playlists, lists of files, image sequences,
// manifests, scripts) are refused, so a text file under a video's name cannot make FFmpeg read
// other local files into the stills. The file is opened again through procPath(), so FFmpeg reads
// the same file that was checked. Nothing on failure. Any thread.
ff::FormatPtr openMediaInput(const InputFile& file);

// Whether the first bytes of an opened file are those of an accepted picture format: PNG, JPEG,
// TIFF, HEIF/AVIF, BMP, WebP, JPEG 2000, Photoshop or GIF. Any thread.
bool hasAcceptedImageSignature(const InputFile& file);

// Restricts libvips to the loaders of the accepted picture formats: untrusted operations and every
// other loader are blocked for the whole process. Called once, when libvips starts.
void blockUnacceptedImageLoaders();

}  // namespace quillon
