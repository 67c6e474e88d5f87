#pragma once

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace quillon::fuzz {

// This process's scratch folder in the working folder, which run.sh gives each target of its own.
inline const std::filesystem::path& scratchDir()
{
    static const std::filesystem::path dir = std::filesystem::current_path() /
                                             ("scratch-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

// Writes the input after its first byte to a file whose extension the first byte picks from exts,
// so one corpus covers every format the target reads.
template <std::size_t N>
std::filesystem::path inputFile(const std::uint8_t* data, std::size_t size, const char* const (&exts)[N])
{
    std::filesystem::path file = scratchDir() / (std::string("input.") + exts[size > 0 ? data[0] % N : 0]);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (size > 1)
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    return file;
}

}  // namespace quillon::fuzz
