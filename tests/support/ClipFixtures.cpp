#include "tests/support/ClipFixtures.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/TestMedia.hpp"

namespace quillon::test {

namespace {

constexpr int kBars = 10;

std::string indexFilter(const ClipOptions& o, double seconds)
{
    std::ostringstream f;
    f << "color=c=black:s=" << o.width << "x" << o.height << ":r=" << o.rate << ":d=" << seconds
      << ",format=yuv420p,geq=lum='if(bitand(floor(N/pow(2,floor(X*" << kBars
      << "/W))),1),235,16)':cb=128:cr=128";
    return f.str();
}

double rateValue(const std::string& rate)
{
    const auto slash = rate.find('/');
    if (slash == std::string::npos)
        return std::stod(rate);
    return std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1));
}

}  // namespace

bool haveEncoder(const std::string& name)
{
    static const std::string list = capture("ffmpeg -hide_banner -encoders 2>/dev/null");
    return list.find(" " + name + " ") != std::string::npos;
}

std::vector<std::string> missingEncoders(const std::vector<std::string>& names)
{
    std::vector<std::string> missing;
    for (const std::string& name : names)
        if (!haveEncoder(name))
            missing.push_back(name);
    return missing;
}

bool makeIndexClip(const std::filesystem::path& file, const ClipOptions& o)
{
    // A little longer than needed so the source never runs out before -frames:v is reached.
    const double seconds = (o.frames + 2) / rateValue(o.rate);
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f lavfi -i " << shellQuote(indexFilter(o, seconds)) << " " << o.codec
        << " -frames:v " << o.frames << " " << o.extra << " " << shellQuote(file.string());
    return run(cmd.str()) == 0 && std::filesystem::exists(file);
}

int readFrameIndex(const Image& still)
{
    if (still.empty())
        return -1;
    const int y = still.height() / 2;
    int index = 0;
    for (int b = 0; b < kBars; ++b) {
        const int x = (2 * b + 1) * still.width() / (2 * kBars);
        const double level = averageColour(still, x, y, 1)[0];
        if (level > 190)
            index |= 1 << b;
        else if (level > 60)
            return -1;
    }
    return index;
}

bool makeIndexGif(const std::filesystem::path& file, int frames, const std::string& rate)
{
    ClipOptions o;
    o.frames = frames;
    o.rate = rate;
    o.width = 160;
    o.height = 120;
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f lavfi -i " << shellQuote(indexFilter(o, (frames + 2) / rateValue(rate)))
        << " -frames:v " << frames << " " << shellQuote(file.string());
    return run(cmd.str()) == 0 && std::filesystem::exists(file);
}

bool makeColourGif(const std::filesystem::path& file, const std::vector<std::string>& colours,
                   const std::vector<int>& delays)
{
    std::ostringstream cmd;
    cmd << "convert -size 16x12";
    for (std::size_t i = 0; i < colours.size(); ++i)
        cmd << " -delay " << (i < delays.size() ? delays[i] : 10) << " xc:" << shellQuote(colours[i]);
    cmd << " " << shellQuote(file.string());
    return run(cmd.str()) == 0 && std::filesystem::exists(file);
}

bool makeQuadrantClip(const std::filesystem::path& file, int width, int height)
{
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f lavfi -i "
        << shellQuote("color=c=black:s=" + std::to_string(width) + "x" + std::to_string(height) +
                      ":d=0.4:r=25,format=rgb24,"
                      "geq=r='if(lt(Y,H/2),if(lt(X,W/2),255,0),if(lt(X,W/2),0,255))'"
                      ":g='if(lt(Y,H/2),if(lt(X,W/2),0,255),if(lt(X,W/2),0,255))'"
                      ":b='if(lt(Y,H/2),0,255)'")
        << " -c:v libx264 -pix_fmt yuv444p " << shellQuote(file.string());
    return run(cmd.str()) == 0 && std::filesystem::exists(file);
}

bool setTrackMatrix(const std::filesystem::path& file, const std::array<std::int32_t, 9>& matrix)
{
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::size_t type = bytes.find("tkhd");
    if (type == std::string::npos || type < 4)
        return false;
    const std::size_t box = type - 4;
    // Version 0 headers hold 32-bit times, version 1 64-bit ones: the matrix moves by 12 bytes.
    const std::size_t at = box + (bytes[box + 8] == 0 ? 48 : 60);
    if (at + 36 > bytes.size())
        return false;
    for (std::size_t i = 0; i < 9; ++i) {
        const auto v = static_cast<std::uint32_t>(matrix[i]);
        for (std::size_t b = 0; b < 4; ++b)
            bytes[at + i * 4 + b] = static_cast<char>((v >> (24 - 8 * b)) & 0xFF);
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<double> averageColour(const Image& still, int x, int y, int radius)
{
    std::vector<double> sum(3, 0.0);
    int n = 0;
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            const int px = x + dx, py = y + dy;
            if (px < 0 || py < 0 || px >= still.width() || py >= still.height())
                continue;
            std::vector<double> p = still.pixels().getpoint(px, py);
            for (int c = 0; c < 3; ++c)
                sum[static_cast<std::size_t>(c)] += p[static_cast<std::size_t>(std::min(c, static_cast<int>(p.size()) - 1))];
            ++n;
        }
    }
    for (double& s : sum)
        s /= std::max(n, 1);
    return sum;
}

}  // namespace quillon::test
