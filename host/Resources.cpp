#include "host/Resources.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include <glib.h>

#include "media/GFreePtr.hpp"

namespace quillon {
namespace fs = std::filesystem;

fs::path executableDir()
{
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return exe.parent_path();
}

fs::path findWebFolder(const fs::path& exeDir)
{
    const std::array candidates{exeDir / "web", exeDir / ".." / "share" / "quillon" / "web"};
    for (const fs::path& dir : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(dir / "index.html", ec))
            return dir.lexically_normal();
    }
    return candidates.front().lexically_normal();
}

namespace {

// True when path equals root or lies below it; both must be canonical.
bool isWithin(const fs::path& path, const fs::path& root)
{
    auto [rootEnd, pathIt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end();
}

}  // namespace

std::optional<fs::path> resolvePageFile(const fs::path& webRoot, std::string_view requestPath)
{
    if (requestPath.empty() || requestPath.front() != '/')
        return std::nullopt;
    // An escaped "/" could smuggle a separator past the checks below, so it is refused outright;
    // g_uri_unescape_string also refuses an escaped NUL.
    const GFreePtr<char> decoded(g_uri_unescape_string(std::string(requestPath).c_str(), "/"));
    if (!decoded)
        return std::nullopt;
    fs::path relative = fs::path(decoded.get()).relative_path();
    for (const fs::path& part : relative) {
        if (part == "..")
            return std::nullopt;
    }
    if (relative.empty())
        return std::nullopt;

    std::error_code ec;
    fs::path root = fs::canonical(webRoot, ec);
    if (ec)
        return std::nullopt;
    // canonical() follows every symbolic link, so a link inside the folder that points out of it
    // ends up outside root and is refused.
    fs::path file = fs::canonical(root / relative, ec);
    if (ec || !isWithin(file, root) || !fs::is_regular_file(file, ec))
        return std::nullopt;
    return file;
}

std::string_view pageMimeType(const fs::path& file)
{
    static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
        {".html", "text/html"},      {".htm", "text/html"},    {".js", "text/javascript"},
        {".mjs", "text/javascript"}, {".css", "text/css"},     {".json", "application/json"},
        {".svg", "image/svg+xml"},   {".png", "image/png"},    {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},     {".gif", "image/gif"},    {".webp", "image/webp"},
        {".ico", "image/x-icon"},    {".woff2", "font/woff2"}, {".woff", "font/woff"},
        {".txt", "text/plain"},
    };
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& [known, type] : kTypes) {
        if (ext == known)
            return type;
    }
    return "application/octet-stream";
}

}  // namespace quillon
