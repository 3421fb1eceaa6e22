// The page's origin from the request's Origin and Referer headers, checked for form: only
// what a browser would send as an origin is ever used for a session or echoed back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// `text` when it is exactly an origin: "http" or "https", "://", a host (a domain name, an
// IPv4 address or a bracketed IPv6 address) and an optional ":port"; nothing else. The
// view is of `text` itself, so it lives as long as that does.
std::optional<std::string_view> validOrigin(std::string_view text);

// Scheme, host and port of an absolute http(s) URL whose rest starts with '/', '?' or '#'
// and holds only visible ASCII. Nothing when the URL has a user part or is not of that form.
std::optional<std::string> originOfUrl(std::string_view url);

// True when a header value stands for "no origin": empty or "null". For an Origin the
// browser then leaves the Referer as the only hint.
bool isMissingOrigin(std::string_view origin);
