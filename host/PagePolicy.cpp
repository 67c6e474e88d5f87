#include "host/PagePolicy.hpp"

#include <string>

#include <glib.h>

#include "media/GFreePtr.hpp"

namespace quillon {

namespace {

struct UriParts {
    std::string scheme;  // lower case
    std::string host;    // lower case
    bool valid = false;
};

UriParts split(std::string_view uri)
{
    UriParts parts;
    GUri* parsed = g_uri_parse(std::string(uri).c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!parsed)
        return parts;
    auto lower = [](const char* text) {
        return text ? std::string(GFreePtr<char>(g_ascii_strdown(text, -1)).get()) : std::string();
    };
    parts = {lower(g_uri_get_scheme(parsed)), lower(g_uri_get_host(parsed)), true};
    g_uri_unref(parsed);
    return parts;
}

}  // namespace

bool isOwnPageURI(std::string_view uri)
{
    UriParts parts = split(uri);
    return parts.valid && parts.scheme == kPageScheme && parts.host == kPageHost;
}

NavigationVerdict judgeNavigation(std::string_view uri, NavigationCause cause)
{
    UriParts parts = split(uri);
    if (!parts.valid || cause == NavigationCause::History)
        return NavigationVerdict::Refuse;
    if (parts.scheme == kPageScheme && parts.host == kPageHost)
        return NavigationVerdict::Allow;
    if ((parts.scheme == "http" || parts.scheme == "https") && !parts.host.empty() &&
        cause == NavigationCause::LinkClicked)
        return NavigationVerdict::OpenInBrowser;
    return NavigationVerdict::Refuse;
}

}  // namespace quillon
