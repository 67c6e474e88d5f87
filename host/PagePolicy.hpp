#pragma once

#include <string_view>

namespace quillon {

// Quillon's page is served from its own URI scheme; nothing else may load in the window.
inline constexpr const char* kPageScheme = "quillon";
inline constexpr const char* kPageHost = "app";
inline constexpr const char* kPageURI = "quillon://app/index.html";

// True for URIs of Quillon's own page and its files: scheme "quillon", host "app" (any case).
bool isOwnPageURI(std::string_view uri);

enum class NavigationCause {
    LinkClicked,  // the user clicked a link
    History,      // a reload, or a step back or forward
    Other,        // scripts, redirects, drops, the first load
};

enum class NavigationVerdict {
    Allow,          // our own page: load it in the view
    OpenInBrowser,  // a web link the user clicked: hand it to the default browser, load nothing
    Refuse,         // anything else: load nothing
};

// What the window does with a navigation (of the main frame or any sub-frame) or a request for a
// new window. Only our page loads; a clicked http or https link opens in the browser; navigations
// that scripts, drops or redirects start towards the web, and every other scheme (file, data,
// about, javascript, ...), are refused. Reloads and steps back or forward are refused too, even to
// our page: the open clip, the stills and the image list live only in the page and would be lost.
NavigationVerdict judgeNavigation(std::string_view uri, NavigationCause cause);

}  // namespace quillon
