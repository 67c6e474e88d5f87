#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon {

// The image files among the given files and folders, in natural order (see sortNaturally).
// - A file is taken when its lower-case extension is in kImageExtensions; a path that names
//   nothing is skipped. A hidden file named directly is taken.
// - A folder is walked recursively. Entries whose names start with a dot are left out and hidden
//   folders are not entered. Entries that cannot be read are left out silently and the walk goes
//   on: a sub-folder that cannot be opened (no permission, vanished meanwhile, path too long) is
//   skipped, and a listing that fails midway keeps what it gave so far.
// - Symbolic links: a link named directly is followed (a link to a folder is walked). Inside a
//   walk a link is an entry like any other, judged by its own name, and never followed into, so a
//   link loop cannot make the walk endless and every file is reached once through its real path.
// - Entries are judged by extension alone: a sub-folder named "x.png" counts like a file.
// - Repeats (the same path string, after making paths absolute and lexically normal) are kept
//   once.
// Blocking file-system work: call it off the main thread. Never throws for file-system errors.
std::vector<std::filesystem::path> collectImageFiles(const std::vector<std::filesystem::path>& inputs);

// An image file as collectImageFiles finds it, with the folder it lies in relative to the folder
// that was named ("trip/day 1" for a file found in <named>/trip/day 1); empty for a file named
// directly or lying at the top of a named folder. A file reached both ways keeps the form it was
// first reached in.
struct FoundImage {
    std::filesystem::path path;
    std::filesystem::path folder;
};

// collectImageFiles, with each file's folder relative to the named folder it was found in.
std::vector<FoundImage> collectImageFilesWithFolders(const std::vector<std::filesystem::path>& inputs);

// A folder the page sent back as an image's relative folder, made safe to join to a destination:
// its non-empty components other than "." in order. Empty when it has none, or when any component
// is ".." or holds a NUL byte, so that no folder can point outside the destination.
std::filesystem::path safeRelativeFolder(const std::string& text);

// Sorts paths in ascending natural order of their full path text: runs of digits compare by
// numeric value (img2 before img10), letter case does not decide (a.png before B.JPG), accents
// do. The collation is that of the user's locale (LC_ALL, LC_COLLATE, LANG), or the root locale
// when none is set or it is C/POSIX. Stable: paths that collate equal keep their order. Names that
// are not valid UTF-8 are compared with the invalid bytes replaced. Any thread.
void sortNaturally(std::vector<std::filesystem::path>& paths);

// The text a file path becomes on the page. JSON carries only UTF-8, so bytes of a name that are
// not UTF-8 (a name from a foreign file system) reach the page as U+FFFD, exactly as the bridge
// writes them, and a path the page sends back in that form no longer names the file. The table
// remembers the real path under the text the page got, so that conversion and reveal find the file.
// Two real names that differ only in such bytes read alike on the page; the later one is kept.
// Any thread.
class PagePaths {
public:
    // The text the page gets for path; remembered when it differs from the path's bytes.
    std::string remember(const std::filesystem::path& path);

    // The real path for text the page sent: the one remembered under it, or the text itself.
    std::filesystem::path resolve(const std::string& text) const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::filesystem::path> real_;
};

}  // namespace quillon
