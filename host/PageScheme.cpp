#include "host/PageScheme.hpp"

#include <string>

#include <webkit/webkit.h>

#include "host/GObjectPtr.hpp"
#include "host/PagePolicy.hpp"
#include "host/Resources.hpp"

namespace quillon {

std::string_view pageContentSecurityPolicy()
{
    return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
           "connect-src 'none'; font-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'";
}

namespace {

void finishNotFound(WebKitURISchemeRequest* request)
{
    g_autoptr(GError) error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Not found");
    webkit_uri_scheme_request_finish_error(request, error);
}

void onPageRequest(WebKitURISchemeRequest* request, gpointer data)
{
    const auto* webRoot = static_cast<const std::filesystem::path*>(data);
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const char* path = webkit_uri_scheme_request_get_path(request);
    if (!uri || !path || !isOwnPageURI(uri))
        return finishNotFound(request);
    std::optional<std::filesystem::path> file = resolvePageFile(*webRoot, path);
    if (!file)
        return finishNotFound(request);

    auto gfile = GObjectPtr<GFile>::adopt(g_file_new_for_path(file->c_str()));
    auto stream = GObjectPtr<GFileInputStream>::adopt(g_file_read(gfile.get(), nullptr, nullptr));
    if (!stream)
        return finishNotFound(request);
    std::error_code ec;
    auto size = static_cast<gint64>(std::filesystem::file_size(*file, ec));

    auto response = GObjectPtr<WebKitURISchemeResponse>::adopt(
        webkit_uri_scheme_response_new(G_INPUT_STREAM(stream.get()), ec ? -1 : size));
    std::string mimeType(pageMimeType(*file));
    webkit_uri_scheme_response_set_content_type(response.get(), mimeType.c_str());
    // The headers replace the response's own, so they carry the type as well.
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Content-Type", mimeType.c_str());
    soup_message_headers_append(headers, "Content-Security-Policy",
                                std::string(pageContentSecurityPolicy()).c_str());
    soup_message_headers_append(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_append(headers, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(response.get(), headers);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request, response.get());
}

}  // namespace

void registerPageScheme(WebKitWebContext* context, const std::filesystem::path& webRoot)
{
    auto* root = new std::filesystem::path(webRoot);
    webkit_web_context_register_uri_scheme(context, kPageScheme, onPageRequest, root,
                                           [](gpointer p) { delete static_cast<std::filesystem::path*>(p); });
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, kPageScheme);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kPageScheme);
}

}  // namespace quillon
