#include "bridge/ImageFiles.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <unicode/ucol.h>
#include <unicode/ustring.h>

#include <nlohmann/json.hpp>

#include "media/Extensions.hpp"

namespace quillon {
namespace fs = std::filesystem;

namespace {

bool isImageFile(const fs::path& file) { return kImageExtensions.contains(lowerExtension(file)); }

bool isHidden(const fs::path& entry)
{
    const std::string name = entry.filename().string();
    return !name.empty() && name.front() == '.';
}

// The form under which repeats are recognised and records show their path: absolute, with "." and
// ".." resolved lexically (links are not resolved) and without a trailing separator.
fs::path normalised(const fs::path& input)
{
    std::error_code ec;
    fs::path full = fs::absolute(input, ec);
    if (ec)
        full = input;
    full = full.lexically_normal();
    if (!full.has_filename() && full.has_relative_path())
        full = full.parent_path();
    return full;
}

class Collector {
public:
    void add(const fs::path& file, const fs::path& folder = {})
    {
        if (isImageFile(file) && seen_.insert(file.native()).second)
            found_.push_back({file, folder});
    }

    // Walks a folder without following links inside it (see the header for why). Folders wait on
    // a list rather than the call stack, so depth costs no stack. A folder that cannot be opened
    // (unreadable, vanished, a path too long for the system) is left out, and so is the rest of
    // one whose listing fails midway; the walk goes on with the others.
    void walk(const fs::path& top)
    {
        // Each folder waits with its path relative to the top.
        std::vector<std::pair<fs::path, fs::path>> pending{{top, fs::path()}};
        while (!pending.empty()) {
            const auto [folder, relative] = std::move(pending.back());
            pending.pop_back();
            std::error_code ec;
            fs::directory_iterator it(folder, ec);
            const fs::directory_iterator end;
            for (; !ec && it != end; it.increment(ec)) {
                const fs::path& entry = it->path();
                if (isHidden(entry))
                    continue;
                add(entry, relative);
                std::error_code typeError;
                const fs::file_status own = it->symlink_status(typeError);  // a link is not followed
                if (!typeError && fs::is_directory(own))
                    pending.emplace_back(entry, relative / entry.filename());
            }
        }
    }

    std::vector<FoundImage> take() { return std::move(found_); }

private:
    std::vector<FoundImage> found_;
    std::unordered_set<std::string> seen_;
};

// The ICU locale name for collation: the first of LC_ALL, LC_COLLATE and LANG that is set, without
// its encoding and modifier; the root locale ("") for C and POSIX, whose ICU tailoring would order
// by code point and put every upper-case letter first.
std::string collationLocale()
{
    for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (!value || !*value)
            continue;
        std::string name(value);
        name = name.substr(0, name.find_first_of(".@"));
        if (name.empty() || name == "C" || name == "POSIX")
            return {};
        return name;
    }
    return {};
}

struct CollatorCloser {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};
using CollatorPtr = std::unique_ptr<UCollator, CollatorCloser>;

CollatorPtr openCollator()
{
    UErrorCode status = U_ZERO_ERROR;
    CollatorPtr collator(ucol_open(collationLocale().c_str(), &status));
    if (U_FAILURE(status) || !collator) {
        status = U_ZERO_ERROR;
        collator.reset(ucol_open("", &status));
        if (U_FAILURE(status))
            return nullptr;
    }
    status = U_ZERO_ERROR;
    ucol_setAttribute(collator.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    ucol_setAttribute(collator.get(), UCOL_STRENGTH, UCOL_SECONDARY, &status);
    return collator;
}

// UTF-16 text of a path; bytes that are not valid UTF-8 become U+FFFD.
std::u16string utf16(std::string_view text)
{
    std::u16string result(text.size() + 1, u'\0');
    int32_t length = 0;
    int32_t substitutions = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(result.data()), static_cast<int32_t>(result.size()),
                         &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, &substitutions,
                         &status);
    if (U_FAILURE(status))
        return {};
    result.resize(static_cast<size_t>(length));
    return result;
}

// The collation sort key of the text: byte strings whose plain comparison gives the collator's
// order, so each path is analysed once rather than once per comparison.
std::string sortKey(const UCollator* collator, std::string_view text)
{
    const std::u16string chars = utf16(text);
    const auto* source = reinterpret_cast<const UChar*>(chars.data());
    const auto length = static_cast<int32_t>(chars.size());
    std::string key(chars.size() * 4 + 16, '\0');
    int32_t needed = ucol_getSortKey(collator, source, length, reinterpret_cast<uint8_t*>(key.data()),
                                     static_cast<int32_t>(key.size()));
    if (needed > static_cast<int32_t>(key.size())) {
        key.resize(static_cast<size_t>(needed));
        needed = ucol_getSortKey(collator, source, length, reinterpret_cast<uint8_t*>(key.data()),
                                 static_cast<int32_t>(key.size()));
    }
    key.resize(needed > 0 ? static_cast<size_t>(needed) : 0);
    return key;
}

// Sorts the items in natural order of the path each one gives (see sortNaturally).
template <typename Item, typename PathOf>
void sortByPath(std::vector<Item>& items, PathOf pathOf)
{
    if (items.size() < 2)
        return;
    CollatorPtr collator = openCollator();
    if (!collator)
        return;
    // std::string compares its chars as unsigned, which is how sort keys are ordered.
    std::vector<std::pair<std::string, Item>> keyed;
    keyed.reserve(items.size());
    for (Item& item : items)
        keyed.emplace_back(sortKey(collator.get(), pathOf(item).native()), std::move(item));
    std::ranges::stable_sort(keyed, {}, &std::pair<std::string, Item>::first);
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i] = std::move(keyed[i].second);
}

// Walks and collects as the header of collectImageFiles says; the files are left unsorted.
void collectInto(Collector& collector, const std::vector<fs::path>& inputs)
{
    for (const fs::path& input : inputs) {
        if (input.empty())
            continue;
        const fs::path path = normalised(input);
        std::error_code ec;
        const fs::file_status status = fs::status(path, ec);  // follows a link named directly
        if (ec || !fs::exists(status))
            continue;
        if (fs::is_directory(status))
            collector.walk(path);
        else
            collector.add(path);
    }
}

}  // namespace

std::vector<fs::path> collectImageFiles(const std::vector<fs::path>& inputs)
{
    std::vector<fs::path> files;
    for (FoundImage& found : collectImageFilesWithFolders(inputs))
        files.push_back(std::move(found.path));
    return files;
}

std::vector<FoundImage> collectImageFilesWithFolders(const std::vector<fs::path>& inputs)
{
    Collector collector;
    collectInto(collector, inputs);
    std::vector<FoundImage> found = collector.take();
    sortByPath(found, [](const FoundImage& image) -> const fs::path& { return image.path; });
    return found;
}

fs::path safeRelativeFolder(const std::string& text)
{
    if (text.find('\0') != std::string::npos)
        return {};
    fs::path folder;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('/', start), text.size());
        const std::string component = text.substr(start, end - start);
        if (component == "..")
            return {};
        if (!component.empty() && component != ".")
            folder /= component;
        start = end + 1;
    }
    return folder;
}

void sortNaturally(std::vector<fs::path>& paths)
{
    sortByPath(paths, [](const fs::path& path) -> const fs::path& { return path; });
}

std::string PagePaths::remember(const std::filesystem::path& path)
{
    const std::string& bytes = path.native();
    // The same replacement the bridge makes when it writes JSON, so the keys match what the page
    // sends back byte for byte.
    const std::string text = nlohmann::json::parse(
                                 nlohmann::json(bytes).dump(-1, ' ', false,
                                                            nlohmann::json::error_handler_t::replace))
                                 .get<std::string>();
    if (text != bytes) {
        std::lock_guard lock(mutex_);
        real_.insert_or_assign(text, path);
    }
    return text;
}

std::filesystem::path PagePaths::resolve(const std::string& text) const
{
    std::lock_guard lock(mutex_);
    const auto found = real_.find(text);
    return found != real_.end() ? found->second : std::filesystem::path(text);
}

}  // namespace quillon
