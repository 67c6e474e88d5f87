#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The names the host and the page share. The page mirrors the event functions in
// web/bridge-client.js; a test compares the two lists, so a misspelt name cannot fail silently.
namespace quillon::protocol {

// The page function that receives every reply: {"id", "ok", "payload"}.
inline constexpr std::string_view kResolveReply = "window.__bridgeResolveRaw";

// The page functions that receive events, each called with one JSON payload.
inline constexpr std::string_view kExtractProgress = "window.__onExtractProgress";  // {done, total}
inline constexpr std::string_view kFrameReady = "window.__onFrameReady";            // one still
inline constexpr std::string_view kExportProgress = "window.__onExportProgress";    // {done, total}
inline constexpr std::string_view kImagesBegin = "window.__onImagesBegin";          // {total}
inline constexpr std::string_view kImagesChunk = "window.__onImagesChunk";          // {items}
inline constexpr std::string_view kDrop = "window.__onDrop";                        // a source, or null
// A menu item or application shortcut the page carries out: {action}, e.g. "open", "export".
inline constexpr std::string_view kMenuAction = "window.__onMenuAction";
// Files are being dragged over the window (true) or no longer are (false): {active}.
inline constexpr std::string_view kDropHover = "window.__onDropHover";

inline constexpr std::string_view kEvents[] = {kExtractProgress, kFrameReady, kExportProgress, kImagesBegin,
                                               kImagesChunk,     kDrop,       kMenuAction,     kDropHover};

// The longer side of the previews in the page's grid, in pixels.
inline constexpr int kPreviewSide = 360;

// A width or height as the page receives it: a whole number of pixels, truncated toward zero; 0
// for anything not a positive, finite size.
inline std::int64_t wholePixels(double value)
{
    return std::isfinite(value) && value > 0 && value < 1e15 ? static_cast<std::int64_t>(value) : 0;
}

// One delivery as the host evaluates it in the page: the function name and its payload.
struct Delivery {
    std::string name;
    nlohmann::json payload;
};

// Splits a delivery "name(json)" back into its parts; nothing when the text is not of that form
// or the payload is not JSON.
std::optional<Delivery> parseDelivery(std::string_view script);

}  // namespace quillon::protocol
