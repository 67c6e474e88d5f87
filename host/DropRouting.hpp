#pragma once

#include <filesystem>
#include <functional>
#include <vector>

typedef struct _GSList GSList;
typedef struct _GtkWidget GtkWidget;

namespace quillon {

// The local paths of dropped files (GFile elements), in the order dropped. Locations without a
// local path (remote URIs, web links) are left out.
std::vector<std::filesystem::path> localPathsOf(const GSList* files);

// Receives the files of one drop: never empty, in the order dropped, on the main thread.
using FileDropHandler = std::function<void(std::vector<std::filesystem::path> files)>;

// Told true when a drag of files the view will take enters it, false when it leaves or is dropped.
using DropHoverHandler = std::function<void(bool active)>;

// Main thread. Lets the view take drags of files from other applications (a file manager) with
// the copy action, ahead of the view's own drop handling, and hands their local paths to
// handler; hover, when given, follows such a drag entering and leaving. Drags the view should
// keep are left to it: drags started inside this application (in the page), drags offering no
// file list (text), and file lists without a local file (links).
void installFileDropTarget(GtkWidget* view, FileDropHandler handler, DropHoverHandler hover = {});

}  // namespace quillon
