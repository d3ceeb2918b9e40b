#pragma once
// Conversions between local text (GB18030), UTF-8 and UTF-16, over iconv.
//
// Code pages name encodings the Windows way: 936 (the local code page, here
// GB18030), 54936 (GB18030), 65001 (UTF-8). Charset names for RecodeBytes are
// iconv names; "GBK" and "CP936" are read as GB18030.
//
// All routines are pure and callable from any thread at once.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/text.h"

namespace lumbrin {

inline constexpr int kLocalCodePage = 936;
inline constexpr int kUtf8CodePage = 65001;

// Decodes `bytes` from `fromCharset` (default "UTF-8") and encodes the text in
// `toCharset` (default "GBK", i.e. GB18030). Undecodable input becomes U+FFFD;
// characters the target cannot hold become "?". A UTF-8 byte-order mark is
// dropped. With `startOffset` the first that many bytes of the result are left
// out. An unknown charset gives an empty buffer.
[[nodiscard]] ByteBuffer RecodeBytes(const ByteBuffer& bytes, std::string_view fromCharset = {},
                                     std::string_view toCharset = {},
                                     std::optional<std::size_t> startOffset = std::nullopt);

// UTF-16LE code units with one zero unit at the end; empty for empty input.
// Input is read up to its first zero byte.
[[nodiscard]] ByteBuffer MultiByteToUtf16(const ByteBuffer& bytes, int codePage);
[[nodiscard]] ByteBuffer LocalTextToUtf16(LocalView text);
// Bytes in `codePage` without terminator; input read up to its first zero unit.
[[nodiscard]] ByteBuffer Utf16ToMultiByte(const ByteBuffer& utf16, int codePage);
[[nodiscard]] std::string Utf16ToText(const ByteBuffer& utf16, int codePage);
[[nodiscard]] std::string LocalTextToUtf8(LocalView text);
[[nodiscard]] ByteBuffer LocalTextToUtf8Bytes(LocalView text);

// Edge conversions (no terminator handling: every byte and unit counts).
[[nodiscard]] std::u16string LocalToUtf16(LocalView text);
[[nodiscard]] LocalText Utf16ToLocal(std::u16string_view text);
[[nodiscard]] std::string LocalToUtf8(LocalView text);
[[nodiscard]] LocalText Utf8ToLocal(std::string_view utf8);
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view utf8);
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view text);
// CESU-8, the form script engines keep text in: UTF-8 in which every UTF-16
// unit, a surrogate too, is encoded on its own. Reading also takes four-byte
// sequences (an astral character in one piece); bad bytes become U+FFFD.
[[nodiscard]] std::string Utf16ToCesu8(std::u16string_view text);
[[nodiscard]] std::u16string Cesu8ToUtf16(std::string_view text);

// The one way a UTF-8 source literal becomes local text.
[[nodiscard]] inline LocalText LocalFromUtf8(std::string_view literal) { return Utf8ToLocal(literal); }

// Length in bytes of the local character starting at `pos` (1, 2 or 4),
// never reaching past the end of `text`. Used so that no search matches on
// the second byte of a double-byte character.
[[nodiscard]] std::size_t LocalCharLength(LocalView text, std::size_t pos) noexcept;

// Finds `needle` in `text` at or after `from`, only at character starts.
// Returns npos when absent. An empty needle matches at `from` (if in range).
[[nodiscard]] std::size_t FindLocal(LocalView text, LocalView needle, std::size_t from = 0) noexcept;

}  // namespace lumbrin
