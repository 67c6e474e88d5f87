#pragma once

#include <filesystem>
#include <string_view>

typedef struct _WebKitWebContext WebKitWebContext;

namespace quillon {

// The Content-Security-Policy every page file is served with, the page's only one: scripts,
// styles and fonts only from the page's own origin, images also from data: URLs (the previews),
// nothing else loaded or fetched, no frames, no plugins, no forms, no <base>.
std::string_view pageContentSecurityPolicy();

// Main thread, before any view of the context loads. Serves quillon://app/<path> from the files
// inside webRoot (see resolvePageFile) and marks the scheme secure and CORS-enabled, so the page's
// ES modules load and a policy of 'self' covers its own files. Any other host, a path that leaves
// webRoot or a missing file is answered "not found".
void registerPageScheme(WebKitWebContext* context, const std::filesystem::path& webRoot);

}  // namespace quillon
