#include "http/header_text.h"

#include <string>
#include <unordered_set>

#include "base/ascii.h"
#include "http/charset.h"

namespace lumbrin {
namespace {

constexpr LocalView kCrLf = "\r\n";
constexpr LocalView kPairSeparator = "; ";
constexpr LocalView kFullWidthSpace = "\xA1\xA1";

// Like FindLocal, but `from` must already be a character start: a single
// pass over the text, so that splitting stays linear in its length.
std::size_t FindFromCharStart(LocalView text, LocalView needle, std::size_t from) noexcept {
  if (from > text.size()) return LocalView::npos;
  if (needle.empty()) return from;
  for (std::size_t pos = from; pos + needle.size() <= text.size(); pos += LocalCharLength(text, pos)) {
    if (text.compare(pos, needle.size(), needle) == 0) return pos;
  }
  return LocalView::npos;
}

LocalText Join(const std::vector<LocalText>& pieces, LocalView separator) {
  LocalText out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out.append(separator);
    out.append(pieces[i]);
  }
  return out;
}

// Every occurrence of `from` (at character starts) replaced by `to`.
LocalText ReplaceAll(LocalView text, LocalView from, LocalView to) {
  if (from.empty()) return LocalText(text);
  LocalText out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = FindFromCharStart(text, from, pos);
    if (hit == LocalView::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}


// The quote marker is written in UTF-8 here and converted once.
const LocalText& QuoteMarker() {
  static const LocalText marker = LocalFromUtf8("#引号");
  return marker;
}

}  // namespace

LocalText TrimBlanks(LocalView text) {
  // Walk whole characters, so that a full-width space is only recognised as
  // such and never as the trail byte of one character plus the next byte.
  std::size_t first = LocalView::npos;
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = LocalCharLength(text, pos);
    const LocalView ch = text.substr(pos, len);
    if (ch != " " && ch != kFullWidthSpace) {
      if (first == LocalView::npos) first = pos;
      end = pos + len;
    }
    pos += len;
  }
  if (first == LocalView::npos) return {};
  return LocalText(text.substr(first, end - first));
}

std::vector<LocalText> SplitLocal(LocalView text, LocalView separator) {
  std::vector<LocalText> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t hit = FindFromCharStart(text, separator, pos);
    if (hit == LocalView::npos) {
      pieces.emplace_back(text.substr(pos));
      break;
    }
    pieces.emplace_back(text.substr(pos, hit - pos));
    pos = hit + separator.size();
  }
  return pieces;
}

LocalText HeaderNameOf(LocalView line) {
  const std::size_t colon = FindLocal(line, ":");
  if (colon == LocalView::npos) return {};
  return TrimBlanks(line.substr(0, colon));
}

LocalText HeaderValueOf(LocalView line) {
  const std::size_t colon = FindLocal(line, ":");
  if (colon == LocalView::npos) return {};
  return TrimBlanks(line.substr(colon + 1));
}

LocalText CapitaliseFirst(LocalView text) {
  LocalText out(text);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 'a' + 'A');
  return out;
}

LocalText NormaliseHeaderText(LocalView headerText) {
  std::vector<LocalText> kept;
  for (LocalText& line : SplitLocal(headerText, kCrLf)) {
    const std::size_t colon = FindLocal(line, ":");
    if (colon == LocalView::npos) continue;
    // Upper-case the first character of the name and the one after each "-".
    // Done in place rather than by splitting at "-", so that a name ending in
    // "-" keeps it.
    bool atPartStart = true;
    for (std::size_t pos = 0; pos < colon;) {
      const std::size_t len = LocalCharLength(line, pos);
      if (atPartStart && line[pos] >= 'a' && line[pos] <= 'z')
        line[pos] = static_cast<char>(line[pos] - 'a' + 'A');
      atPartStart = (len == 1 && line[pos] == '-');
      pos += len;
    }
    kept.push_back(std::move(line));
  }
  return Join(kept, kCrLf);
}

LocalText TextBefore(LocalView text, LocalView delimiter) {
  const std::size_t hit = FindLocal(text, delimiter);
  if (hit == LocalView::npos) return {};
  return LocalText(text.substr(0, hit));
}

LocalText TextBetween(LocalView text, LocalView left, LocalView right) {
  const LocalText leftDelimiter = ReplaceAll(left, QuoteMarker(), "\"");
  const LocalText rightDelimiter = ReplaceAll(right, QuoteMarker(), "\"");
  const std::size_t leftAt = FindLocal(text, leftDelimiter);
  if (leftAt == LocalView::npos) return {};
  const std::size_t start = leftAt + leftDelimiter.size();
  const std::size_t rightAt = FindLocal(text, rightDelimiter, start);
  if (rightAt == LocalView::npos || rightAt < start) return {};
  return LocalText(text.substr(start, rightAt - start));
}

LocalText CollectSetCookies(LocalView responseHeaders) {
  static constexpr LocalView kName = "Set-Cookie";
  static constexpr LocalView kPrefix = "Set-Cookie:";
  LocalText result;
  for (const LocalText& line : SplitLocal(responseHeaders, kCrLf)) {
    if (TextBefore(line, ": ") != kName) continue;
    LocalText pair;
    if (FindLocal(line, ";") != LocalView::npos) {
      pair = TrimBlanks(TextBetween(line, kPrefix, ";"));
    } else {
      pair = TrimBlanks(RemoveAllIgnoringAsciiCase(line, kPrefix));
    }
    result.append(pair);
    result.append(kPairSeparator);
  }
  if (result.ends_with(kPairSeparator)) result.resize(result.size() - kPairSeparator.size());
  return result;
}

LocalText CookieNameOf(LocalView pair) {
  const std::size_t eq = FindLocal(pair, "=");
  if (eq == LocalView::npos) return TrimBlanks(pair);
  return TrimBlanks(pair.substr(0, eq));
}

LocalText MergeCookieText(LocalText& old, LocalView newCookies) {
  auto prepare = [](LocalView text) {
    LocalText trimmed = TrimBlanks(text);
    if (trimmed.ends_with(';')) trimmed.push_back(' ');
    return trimmed;
  };
  const std::vector<LocalText> oldPairs = SplitLocal(prepare(old), kPairSeparator);
  std::vector<LocalText> merged = SplitLocal(prepare(newCookies), kPairSeparator);

  std::unordered_set<LocalText> namesInList;
  for (const LocalText& pair : merged) namesInList.insert(CookieNameOf(pair));
  for (const LocalText& pair : oldPairs) {
    if (namesInList.insert(CookieNameOf(pair)).second) merged.push_back(pair);
  }

  std::vector<LocalText> live;
  for (LocalText& pair : merged) {
    if (!pair.ends_with("=deleted")) live.push_back(std::move(pair));
  }
  old = RemoveDuplicatePieces(Join(live, kPairSeparator), kPairSeparator);
  return old;
}

LocalText RemoveDuplicatePieces(LocalView text, LocalView separator) {
  std::unordered_set<LocalText> seen;
  std::vector<LocalText> kept;
  for (LocalText& piece : SplitLocal(text, separator)) {
    if (seen.insert(piece).second) kept.push_back(std::move(piece));
  }
  return Join(kept, separator);
}

std::size_t FindIgnoringAsciiCase(LocalView text, LocalView needle, std::size_t from) {
  for (std::size_t pos = from; pos + needle.size() <= text.size(); pos += LocalCharLength(text, pos)) {
    if (EqualsIgnoringAsciiCase(text.substr(pos, needle.size()), needle)) return pos;
  }
  return LocalView::npos;
}

LocalText RemoveAllIgnoringAsciiCase(LocalView text, LocalView needle) {
  LocalText out;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = FindIgnoringAsciiCase(text, needle, pos);
    if (hit == LocalView::npos) break;
    out.append(text.substr(pos, hit - pos));
    pos = hit + needle.size();
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace lumbrin
