#pragma once
// Small text checks for the gallery tests. std::regex is avoided: GCC 12's
// implementation trips -Wmaybe-uninitialized under the sanitizer build.

#include <string>
#include <string_view>

namespace lumbrin::test {

inline bool IsDigits(std::string_view s, std::size_t count) {
  if (s.size() != count) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "YYYY-MM-DD hh:mm:ss"
inline bool IsTimeText(std::string_view s) {
  static constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
  if (s.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (kShape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != kShape[i]) return false;
  }
  return true;
}

// A log line made of the time text followed exactly by `rest`.
inline bool IsTimedLine(std::string_view line, std::string_view rest) {
  return line.size() >= 19 && IsTimeText(line.substr(0, 19)) && line.substr(19) == rest;
}

// The value of `name` in an "a=1&b=2" query, or "<absent>".
inline std::string QueryValueOf(std::string_view query, std::string_view name) {
  std::size_t pos = 0;
  while (pos <= query.size()) {
    std::size_t end = query.find('&', pos);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view field = query.substr(pos, end - pos);
    if (field.size() > name.size() && field.substr(0, name.size()) == name && field[name.size()] == '=')
      return std::string(field.substr(name.size() + 1));
    pos = end + 1;
  }
  return "<absent>";
}

}  // namespace lumbrin::test
