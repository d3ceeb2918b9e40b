// Header text, cookie text and name-value list routines on arbitrary bytes.
// The input is cut at zero bytes into up to four pieces (text, delimiters,
// an old cookie text). Besides crashes and sanitizer reports, the invariants
// below abort on results that cannot be right.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/name_value_list.h"
#include "http/header_text.h"

namespace {

using lumbrin::LocalText;
using lumbrin::LocalView;

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Contains(LocalView haystack, LocalView needle) {
  return haystack.find(needle) != LocalView::npos;
}

LocalText Join(const std::vector<LocalText>& pieces, LocalView separator) {
  LocalText out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out.append(separator);
    out.append(pieces[i]);
  }
  return out;
}

void HeaderRoutines(LocalView text, LocalView a, LocalView b, LocalView c) {
  using namespace lumbrin;
  const LocalText trimmed = TrimBlanks(text);
  Check(Contains(text, trimmed) && TrimBlanks(trimmed) == trimmed);

  Check(Contains(text, HeaderNameOf(text)) && Contains(text, HeaderValueOf(text)));
  Check(CapitaliseFirst(text).size() == text.size());
  const LocalText normalised = NormaliseHeaderText(text);
  Check(normalised.size() <= text.size() && NormaliseHeaderText(normalised) == normalised);

  Check(Contains(text, TextBefore(text, a)));
  Check(TextBetween(text, a, b).size() <= text.size());

  if (!a.empty()) {
    const auto pieces = SplitLocal(text, a);
    const LocalText joined = Join(pieces, a);
    Check(joined == text || joined + LocalText(a) == text);
    const LocalText unique = RemoveDuplicatePieces(text, a);
    Check(unique.size() <= text.size());
  }

  const LocalText cookies = CollectSetCookies(text);
  Check(cookies.size() <= text.size());
  (void)CookieNameOf(text);

  LocalText old(c);
  const LocalText merged = MergeCookieText(old, text);
  Check(merged == old && !merged.ends_with("=deleted"));
}

void ListRoutines(LocalView text, LocalView a) {
  using namespace lumbrin;
  NameValueList list;
  list.addFromFormText(text);
  Check(list.names().size() == SplitLocal(text, "&").size());
  list.add(a, text);
  (void)list.toFormText();
  (void)list.toFormText(true);
  (void)list.toHeaderText(true);
  const LocalText json = list.toJsonText();
  Check(json.starts_with('{') && json.ends_with('}'));
  const auto copy = list.clone();
  Check(copy->toHeaderText() == list.toHeaderText());
  list.remove(a);
  list.set(a, a);
  Check(list.get(a) == a);

  const LocalText strict = urlEncode(text);
  for (char ch : strict)
    Check((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F') || ch == '%' || ch == '+');
  (void)urlEncode(text, true);
  (void)urlEncode(text, true, true);
  LocalText affixed(text);
  Check(list.trimAffix(affixed, a) == affixed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const LocalView input(reinterpret_cast<const char*>(data), size);
  LocalView parts[4];
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    if (start > input.size()) break;
    const std::size_t end = i == 3 ? input.size() : input.find('\0', start);
    const std::size_t stop = end == LocalView::npos ? input.size() : end;
    parts[i] = input.substr(start, stop - start);
    start = stop + 1;
  }
  HeaderRoutines(parts[0], parts[1], parts[2], parts[3]);
  ListRoutines(parts[0], parts[1]);
  return 0;
}
