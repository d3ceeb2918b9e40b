#include "cli/cookie_input.h"

#include <fstream>
#include <iterator>

#include "http/charset.h"

namespace lumbrin::cli {
namespace {

std::optional<std::string> ReadBounded(std::istream& stream) {
  std::string text;
  char buffer[4096];
  while (stream) {
    stream.read(buffer, sizeof buffer);
    text.append(buffer, static_cast<std::size_t>(stream.gcount()));
    if (text.size() > kMaxCookieBytes) return std::nullopt;
  }
  if (stream.bad()) return std::nullopt;
  return text;
}

}  // namespace

LocalText CookieFromText(std::string_view raw) {
  if (raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
  std::string joined;
  while (!raw.empty()) {
    const auto end = raw.find_first_of("\r\n");
    std::string_view line = raw.substr(0, end);
    raw.remove_prefix(end == std::string_view::npos ? raw.size() : end + 1);
    // A pair split over lines is the browser's copy, not ours to mend; only
    // the separators around the break are normalised.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == ';')) {
      line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) continue;
    if (!joined.empty()) joined += "; ";
    joined += line;
  }
  return Utf8ToLocal(joined);
}

std::optional<LocalText> ReadCookie(const std::string& path, std::istream& in) {
  std::optional<std::string> raw;
  if (path == "-") {
    raw = ReadBounded(in);
  } else {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    raw = ReadBounded(file);
  }
  if (!raw) return std::nullopt;
  return CookieFromText(*raw);
}

}  // namespace lumbrin::cli
