#pragma once

#include <string>
#include <vector>

namespace quillon {

// file:// URIs for the paths, in order; relative paths are taken from the current folder.
// Paths that cannot be expressed as a URI are left out.
std::vector<std::string> fileURIs(const std::vector<std::string>& paths);

// The file:// URI of the folder that contains path; empty when there is none.
std::string containingFolderURI(const std::string& path);

// Main thread. Asks the desktop's file manager to show the paths selected, through the
// org.freedesktop.FileManager1 ShowItems call on the session bus, and returns at once. Where no
// file manager answers, the folder of the first path is opened with the default handler instead.
// An empty list shows nothing. Paths are not checked for existence.
void revealInFileManager(const std::vector<std::string>& paths);

}  // namespace quillon
