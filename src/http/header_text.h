#pragma once
// Header text (lines "Name: value" joined by CR LF) and cookie text (pairs
// joined by "; "), and the text helpers the request code shares.
//
// Blanks are the space (0x20) and the full-width space (0xA1 0xA1); trimming
// removes them at both ends only. Every delimiter search matches exactly and
// never starts on the trail byte of a double-byte character (FindLocal).
// All routines are pure and callable from any thread.

#include <vector>

#include "base/text.h"

namespace lumbrin {

[[nodiscard]] LocalText TrimBlanks(LocalView text);
// The pieces between separators: empty pieces before the first and between
// two adjacent separators are kept, none after a final one; "" gives none.
[[nodiscard]] std::vector<LocalText> SplitLocal(LocalView text, LocalView separator);

[[nodiscard]] LocalText HeaderNameOf(LocalView line);
[[nodiscard]] LocalText HeaderValueOf(LocalView line);
[[nodiscard]] LocalText CapitaliseFirst(LocalView text);
[[nodiscard]] LocalText NormaliseHeaderText(LocalView headerText);
[[nodiscard]] LocalText TextBefore(LocalView text, LocalView delimiter);
// "#引号" in either delimiter stands for a double quote.
[[nodiscard]] LocalText TextBetween(LocalView text, LocalView left, LocalView right);
[[nodiscard]] LocalText CollectSetCookies(LocalView responseHeaders);
[[nodiscard]] LocalText CookieNameOf(LocalView pair);
// Merges `newCookies` into `old` (new first, "=deleted" removed, duplicates
// dropped), stores the result into `old` and returns it.
LocalText MergeCookieText(LocalText& old, LocalView newCookies);
[[nodiscard]] LocalText RemoveDuplicatePieces(LocalView text, LocalView separator);

// Where `needle` (ASCII) first stands in `text` at or after `from`, ASCII
// letter case ignored, only at character starts; npos when nowhere. An empty
// needle is found at `from`.
[[nodiscard]] std::size_t FindIgnoringAsciiCase(LocalView text, LocalView needle, std::size_t from = 0);
// `text` without any occurrence of `needle` (as FindIgnoringAsciiCase finds them).
[[nodiscard]] LocalText RemoveAllIgnoringAsciiCase(LocalView text, LocalView needle);

}  // namespace lumbrin
