#pragma once

#include <memory>

#include <glib.h>

namespace quillon {

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};

// Owns memory GLib (or a GLib-based library) allocated and the caller must g_free(): strings from
// g_file_get_path() or jsc_value_to_json(), buffers from libvips' savers.
template <typename T = char>
using GFreePtr = std::unique_ptr<T, GFreeDeleter>;

}  // namespace quillon
