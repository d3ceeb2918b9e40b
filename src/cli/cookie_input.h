#pragma once
// Reading the session cookie. The text is a secret: it is never printed,
// logged or stored by the exporter.

#include <istream>
#include <optional>
#include <string>

#include "base/text.h"

namespace lumbrin::cli {

// Bound on the cookie text; browsers keep far less per site.
inline constexpr std::size_t kMaxCookieBytes = 64 * 1024;

// Cookie text (local text) from UTF-8 `raw`: a byte-order mark and trailing
// line breaks dropped, every inner line break separating two pairs (the
// lines are joined by "; "), blank lines skipped. Empty when nothing is left.
[[nodiscard]] LocalText CookieFromText(std::string_view raw);

// Reads the cookie from `path`, or from `in` when path is "-". Empty result
// (nullopt) when it cannot be read or is too long; an empty optional text
// when it holds no cookie.
[[nodiscard]] std::optional<LocalText> ReadCookie(const std::string& path, std::istream& in);

}  // namespace lumbrin::cli
