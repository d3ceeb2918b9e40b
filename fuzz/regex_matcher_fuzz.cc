// Arbitrary patterns and subjects: the first zero byte (if any) ends the
// pattern, the byte after it picks the options, the rest is the subject.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "data/regex_matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 256 * 1024) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view pattern = "20[\\d]{6}";
  std::string_view subject = input;
  unsigned options = 0;
  if (const std::size_t zero = input.find('\0'); zero != std::string_view::npos && zero + 1 < input.size()) {
    pattern = input.substr(0, zero);
    options = static_cast<unsigned char>(input[zero + 1]);
    subject = input.substr(zero + 2);
  }
  lumbrin::RegexMatcher regex;
  if (!regex.execute(pattern, subject, options & 1, (options & 2) == 0, (options & 4) == 0, options & 8)) return 0;
  const int count = regex.matchCount();
  const int groups = regex.subMatchCount();
  for (int i = 0; i <= count + 1 && i < 16; ++i) {
    int position = 0;
    (void)regex.matchText(i, &position);
    for (int g = 0; g <= groups + 1 && g < 4; ++g) (void)regex.subMatchText(i, g, &position);
  }
  (void)regex.replace("[$1|$&|$`|$'|$$|$99]");
  (void)regex.clone()->pattern();
  return 0;
}
