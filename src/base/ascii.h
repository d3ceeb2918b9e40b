#pragma once
// ASCII letter case for protocol words (header and module names, address
// schemes, media types): only A-Z and a-z are folded; every other byte, a
// byte of a multi-byte character too, stands for itself.

#include <cstddef>
#include <string_view>

namespace lumbrin {

[[nodiscard]] constexpr char AsciiLower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

[[nodiscard]] constexpr bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace lumbrin
