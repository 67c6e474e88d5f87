#include "tests/hostile/HostileMedia.hpp"

#include <array>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tests/support/TestMedia.hpp"

namespace quillon::test {

namespace fs = std::filesystem;

namespace {

void put32(std::string& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((v >> shift) & 0xff);
}

void put16le(std::string& out, unsigned v)
{
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
}

std::uint32_t crc32(const std::string& data)
{
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xffffffffu;
}

void pngChunk(std::string& out, const std::string& type, const std::string& data)
{
    put32(out, static_cast<std::uint32_t>(data.size()));
    std::string body = type + data;
    out += body;
    put32(out, crc32(body));
}

void shell(const std::string& commandLine)
{
    if (run(commandLine) != 0)
        throw std::runtime_error("failed: " + commandLine);
}

}  // namespace

std::string readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeBytes(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void flipBits(std::string& bytes, unsigned seed, std::size_t flips)
{
    if (bytes.size() <= 8)
        return;
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> where(8, bytes.size() - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    for (std::size_t i = 0; i < flips; ++i)
        bytes[where(random)] ^= static_cast<char>(1 << bit(random));
}

std::vector<fs::path> makeValidSamples()
{
    fs::path dir = freshDir("hostile-valid");
    const std::string src = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                            "testsrc=size=160x120:rate=25:duration=1 ";
    const std::string h264 = "-c:v libx264 -pix_fmt yuv420p ";
    struct Clip {
        std::string name, options;
    };
    const std::vector<Clip> clips = {
        {"clip.mov", h264},
        {"clip.mp4", h264},
        {"clip.m4v", h264 + "-f mp4 "},
        {"clip.webm", "-c:v libvpx-vp9 "},
        {"clip.avi", "-c:v mpeg4 "},
        {"clip.mkv", h264},
        {"clip.mpg", "-c:v mpeg2video -f mpeg "},
        {"clip.mpeg", "-c:v mpeg1video -f mpeg "},
        {"clip.m2v", "-c:v mpeg2video -f mpeg2video "},
        {"clip.gif", "-vf fps=10 "},
    };
    std::vector<fs::path> files;
    for (const Clip& clip : clips) {
        shell(src + clip.options + shellQuote((dir / clip.name).string()));
        files.push_back(dir / clip.name);
    }
    const std::string picture = "convert -size 96x64 xc:navy -fill orange -draw 'circle 30,30 40,40' "
                                "-fill white -draw 'rectangle 60,10 90,50' ";
    for (std::string ext : {"png", "jpg", "jpeg", "tif", "tiff", "heic", "bmp", "webp", "jp2", "psd"}) {
        fs::path file = dir / (std::string("pic.") + ext);
        shell(picture + shellQuote(file.string()));
        files.push_back(file);
    }
    fs::copy_file(dir / "pic.heic", dir / "pic.heif");
    files.push_back(dir / "pic.heif");
    return files;
}

fs::path writeHugePng(const fs::path& file, unsigned width, unsigned height)
{
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    put32(ihdr, width);
    put32(ihdr, height);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
    pngChunk(png, "IHDR", ihdr);

    // Zlib with one stored block of zero bytes: a few rows' worth, nowhere near the claim.
    const std::string rows(4096, '\0');
    std::string idat = "\x78\x01";
    idat += '\x01';
    put16le(idat, static_cast<unsigned>(rows.size()));
    put16le(idat, static_cast<unsigned>(~rows.size() & 0xffff));
    idat += rows;
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : rows) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put32(idat, (b << 16) | a);
    pngChunk(png, "IDAT", idat);
    pngChunk(png, "IEND", "");
    writeBytes(file, png);
    return file;
}

fs::path writeHugeJpeg(const fs::path& file, unsigned width, unsigned height)
{
    fs::path small = file.parent_path() / "small-for-huge.jpg";
    shell("convert -size 64x64 plasma:fractal -quality 90 " + shellQuote(small.string()));
    std::string jpeg = readBytes(small);
    fs::remove(small);
    // The frame header: FF C0 (baseline) or FF C2 (progressive), length, precision, height, width.
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
        auto marker = static_cast<unsigned char>(jpeg[i + 1]);
        if (static_cast<unsigned char>(jpeg[i]) == 0xff && (marker == 0xc0 || marker == 0xc2)) {
            jpeg[i + 5] = static_cast<char>(height >> 8);
            jpeg[i + 6] = static_cast<char>(height & 0xff);
            jpeg[i + 7] = static_cast<char>(width >> 8);
            jpeg[i + 8] = static_cast<char>(width & 0xff);
            writeBytes(file, jpeg);
            return file;
        }
    }
    throw std::runtime_error("no frame header in the sample JPEG");
}

namespace {

// One 1x1 frame with a two-colour table: clear code, the pixel, end code, at minimum code size 2.
void gifFrame(std::string& gif, unsigned width, unsigned height, int delay, int pixel)
{
    gif += std::string("\x21\xf9\x04\x00", 4);
    put16le(gif, static_cast<unsigned>(delay));
    gif += std::string("\x00\x00", 2);
    gif += '\x2c';
    put16le(gif, 0);
    put16le(gif, 0);
    put16le(gif, width);
    put16le(gif, height);
    gif += '\x00';
    gif += std::string("\x02\x02", 2);
    gif += static_cast<char>(pixel ? 0x4c : 0x44);
    gif += std::string("\x01\x00", 2);
}

std::string gifHeader(unsigned width, unsigned height)
{
    std::string gif = "GIF89a";
    put16le(gif, width);
    put16le(gif, height);
    gif += std::string("\x80\x00\x00", 3);                       // a global table of 2 colours
    gif += std::string("\x00\x00\x00\xff\xff\xff", 6);           // black, white
    gif += std::string("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);  // loop forever
    return gif;
}

}  // namespace

fs::path writeHugeGif(const fs::path& file, unsigned width, unsigned height)
{
    std::string gif = gifHeader(width, height);
    gifFrame(gif, width, height, 10, 1);
    gifFrame(gif, width, height, 10, 0);
    gif += '\x3b';
    writeBytes(file, gif);
    return file;
}

fs::path writeManyFrameGif(const fs::path& file, int frames)
{
    std::string gif = gifHeader(1, 1);
    for (int i = 0; i < frames; ++i)
        gifFrame(gif, 1, 1, 2, i % 2);
    gif += '\x3b';
    writeBytes(file, gif);
    return file;
}

std::vector<fs::path> makeAbsurdTimestampClips(const fs::path& dir)
{
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                           "testsrc=size=160x120:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p ";
    struct Clip {
        std::string name, options;
    };
    const std::vector<Clip> clips = {
        {"gaps.mkv", "-vf setpts=N*1000000/TB -vsync passthrough "},
        {"late.mp4", "-output_ts_offset 1000000000 "},
        {"early.mkv", "-output_ts_offset -100000 -avoid_negative_ts disabled "},
        {"slow.mp4", "-r 1/1000 "},
        {"fast.mkv", "-vf setpts=N/1000000/TB -vsync passthrough "},
    };
    std::vector<fs::path> files;
    for (const Clip& clip : clips) {
        fs::path file = dir / clip.name;
        // A clip this ffmpeg refuses to make is left out; the others still run.
        if (run(ff + clip.options + shellQuote(file.string())) == 0 && fs::exists(file))
            files.push_back(file);
    }
    return files;
}

}  // namespace quillon::test
