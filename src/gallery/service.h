#pragma once
// What every request to the gallery service shares: the fixed header values,
// the request parameters taken from the host's service settings, and the
// conversion of an answer into local text.
//
// All routines are callable from any thread; those taking a Host only read
// its service settings.

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "gallery/host.h"
#include "http/web_request.h"

namespace lumbrin {

// The browser the service expects to talk to (its web pages check it).
inline constexpr std::string_view kServiceUserAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/99.0.4844.74 Safari/537.36 Edg/99.0.1150.46";

// The service's base address as local text, without a trailing "/".
[[nodiscard]] LocalText ServiceBase(Host& host);
// The gallery page every request names as its referer.
[[nodiscard]] LocalText ServicePageAddress(Host& host);

// Header text of the (name, value) pairs in order, built in a NameValueList.
[[nodiscard]] LocalText ServiceHeaderText(const std::vector<std::pair<LocalText, LocalText>>& headers);

// Bound on a text answer (timeline, day page, link answers): they are parsed
// by the script engine and must not grow with what a server sends.
inline constexpr std::size_t kMaxAnswerBytes = std::size_t{32} << 20;

// A request to `url` with the host's time-out and TLS settings and the text
// answer bound; everything else is left at the routine's defaults.
[[nodiscard]] WebRequestParams ServiceRequestParams(Host& host, LocalText url);

// The UTF-8 answer as local text, up to its first zero byte.
[[nodiscard]] LocalText AnswerText(const ByteBuffer& body);

// True for an absolute http:// or https:// address (any letter case). The
// service hands out follow-up addresses; nothing else is ever fetched, so an
// answer cannot point the client at local files or other protocols.
[[nodiscard]] bool IsWebAddress(LocalView url);

// The UTF-8 bytes of local text `value`, every byte outside the unreserved
// set of RFC 3986 written as %XX, so a value taken from an answer cannot
// change the query it is put into.
[[nodiscard]] LocalText QueryValue(LocalView value);

}  // namespace lumbrin
