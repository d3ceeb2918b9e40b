#include "http/charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace lumbrin {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

struct IconvDeleter {
  void operator()(void* cd) const noexcept {
    if (cd != nullptr) iconv_close(static_cast<iconv_t>(cd));
  }
};
using IconvHandle = std::unique_ptr<void, IconvDeleter>;

// iconv_open costs far more than a short conversion, so each thread keeps its
// descriptors. Descriptors are reset before every use.
iconv_t CachedIconv(const std::string& to, const std::string& from) {
  thread_local std::map<std::pair<std::string, std::string>, IconvHandle> cache;
  auto key = std::make_pair(to, from);
  auto it = cache.find(key);
  if (it == cache.end()) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
    it = cache.emplace(std::move(key), IconvHandle(cd)).first;
  }
  auto* cd = static_cast<iconv_t>(it->second.get());
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  return cd;
}

std::string CanonicalCharset(std::string_view name) {
  std::string up;
  for (char c : name) up.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c);
  if (up == "GBK" || up == "CP936" || up == "936" || up == "GB2312" || up == "GB18030" || up == "54936")
    return "GB18030";
  if (up == "UTF8" || up == "UTF-8" || up == "65001") return "UTF-8";
  return up;
}

std::optional<std::string> CharsetOfCodePage(int codePage) {
  switch (codePage) {
    case 936:
    case 54936: return std::string("GB18030");
    case 65001: return std::string("UTF-8");
    case 1200: return std::string("UTF-16LE");
    case 1252: return std::string("WINDOWS-1252");
    case 950: return std::string("BIG5");
    case 20127: return std::string("ASCII");
    default: return std::nullopt;
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Strict UTF-8 decoder: overlong forms, surrogates and bytes out of place
// become U+FFFD, one per maximal bad subsequence start. With surrogateUnits
// (CESU-8), an encoded surrogate is a unit of its own instead.
std::u16string DecodeUtf8(std::string_view in, bool surrogateUnits = false) {
  std::u16string out;
  out.reserve(in.size());
  std::size_t i = 0;
  const std::size_t n = in.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; cp = b0 & 0x1F; min = 0x80; }
    else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; cp = b0 & 0x0F; min = 0x800; }
    else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; cp = b0 & 0x07; min = 0x10000; }
    if (len == 0) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    // A bad or truncated sequence is replaced as one unit: the lead byte and
    // the continuation bytes that follow it.
    std::size_t k = 1;
    for (; k < len && i + k < n; ++k) {
      const auto b = static_cast<unsigned char>(in[i + k]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k < len || cp < min || cp > 0x10FFFF || (!surrogateUnits && cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(kReplacement);
      i += (k < len) ? k : 1;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

// Lone surrogates become U+FFFD.
std::string EncodeUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size() * 3);
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t u = in[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = kReplacement;
    }
    AppendUtf8(out, u);
  }
  return out;
}

// Any charset to UTF-16 through iconv; bad input bytes become U+FFFD.
std::optional<std::u16string> DecodeWith(const std::string& charset, std::string_view in) {
  if (charset == "UTF-8") return DecodeUtf8(in);
  iconv_t cd = CachedIconv("UTF-16LE", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::u16string out;
  std::string buffer(std::max<std::size_t>(64, in.size() * 4 + 16), '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buffer.data();
    std::size_t dstLeft = buffer.size();
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const std::size_t produced = buffer.size() - dstLeft;
    const std::size_t old = out.size();
    out.resize(old + produced / 2);
    std::memcpy(out.data() + old, buffer.data(), produced / 2 * 2);
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (truncated at the end): replace one byte and go on.
    out.push_back(kReplacement);
    ++src;
    --srcLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

// UTF-16 to any charset; characters the target lacks become "?".
std::optional<std::string> EncodeWith(const std::string& charset, std::u16string_view in) {
  if (charset == "UTF-8") return EncodeUtf8(in);
  iconv_t cd = CachedIconv(charset, "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  std::string buffer(std::max<std::size_t>(64, in.size() * 4 + 16), '\0');
  char* src = reinterpret_cast<char*>(const_cast<char16_t*>(in.data()));
  std::size_t srcLeft = in.size() * 2;
  while (srcLeft > 0) {
    char* dst = buffer.data();
    std::size_t dstLeft = buffer.size();
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer.data(), buffer.size() - dstLeft);
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // An unencodable character or a lone surrogate: one unit (or a pair) out.
    std::size_t skip = 2;
    if (srcLeft >= 4) {
      char16_t u0;
      char16_t u1;
      std::memcpy(&u0, src, 2);
      std::memcpy(&u1, src + 2, 2);
      if (u0 >= 0xD800 && u0 <= 0xDBFF && u1 >= 0xDC00 && u1 <= 0xDFFF) skip = 4;
    }
    skip = std::min(skip, srcLeft);
    out.push_back('?');
    src += skip;
    srcLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state (nothing for the charsets used here).
  char tail[16];
  char* dst = tail;
  std::size_t dstLeft = sizeof tail;
  iconv(cd, nullptr, nullptr, &dst, &dstLeft);
  out.append(tail, sizeof tail - dstLeft);
  return out;
}

std::u16string UnitsOf(const ByteBuffer& utf16) {
  std::u16string units(utf16.size() / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), utf16.data(), units.size() * 2);
  const auto zero = units.find(u'\0');
  if (zero != std::u16string::npos) units.resize(zero);
  return units;
}

ByteBuffer WithTerminator(std::u16string_view units) {
  ByteBuffer out;
  out.reserve((units.size() + 1) * 2);
  for (char16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::string_view UpToZero(std::string_view s) {
  const auto zero = s.find('\0');
  return zero == std::string_view::npos ? s : s.substr(0, zero);
}

}  // namespace

ByteBuffer RecodeBytes(const ByteBuffer& bytes, std::string_view fromCharset, std::string_view toCharset,
                       std::optional<std::size_t> startOffset) {
  const std::string from = CanonicalCharset(fromCharset.empty() ? std::string_view("UTF-8") : fromCharset);
  const std::string to = CanonicalCharset(toCharset.empty() ? std::string_view("GBK") : toCharset);
  std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (from == "UTF-8" && in.starts_with("\xEF\xBB\xBF")) in.remove_prefix(3);
  auto text = DecodeWith(from, in);
  if (!text) return {};
  auto encoded = EncodeWith(to, *text);
  if (!encoded) return {};
  std::size_t skip = startOffset.value_or(0);
  if (skip >= encoded->size()) return {};
  return ByteBuffer(encoded->begin() + static_cast<std::ptrdiff_t>(skip), encoded->end());
}

ByteBuffer MultiByteToUtf16(const ByteBuffer& bytes, int codePage) {
  const auto charset = CharsetOfCodePage(codePage);
  if (!charset) return {};
  const auto in = UpToZero(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (in.empty()) return {};
  auto units = DecodeWith(*charset, in);
  if (!units) return {};
  return WithTerminator(*units);
}

ByteBuffer LocalTextToUtf16(LocalView text) {
  return MultiByteToUtf16(ByteBuffer(text.begin(), text.end()), kLocalCodePage);
}

ByteBuffer Utf16ToMultiByte(const ByteBuffer& utf16, int codePage) {
  const auto charset = CharsetOfCodePage(codePage);
  if (!charset) return {};
  const auto units = UnitsOf(utf16);
  if (units.empty()) return {};
  auto out = EncodeWith(*charset, units);
  if (!out) return {};
  return ByteBuffer(out->begin(), out->end());
}

std::string Utf16ToText(const ByteBuffer& utf16, int codePage) {
  const auto bytes = Utf16ToMultiByte(utf16, codePage);
  return std::string(UpToZero(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
}

std::string LocalTextToUtf8(LocalView text) { return Utf16ToText(LocalTextToUtf16(text), kUtf8CodePage); }

ByteBuffer LocalTextToUtf8Bytes(LocalView text) {
  return Utf16ToMultiByte(LocalTextToUtf16(text), kUtf8CodePage);
}

std::u16string LocalToUtf16(LocalView text) { return DecodeWith("GB18030", text).value_or(std::u16string()); }

LocalText Utf16ToLocal(std::u16string_view text) { return EncodeWith("GB18030", text).value_or(LocalText()); }

std::string LocalToUtf8(LocalView text) { return EncodeUtf8(LocalToUtf16(text)); }

LocalText Utf8ToLocal(std::string_view utf8) { return Utf16ToLocal(DecodeUtf8(utf8)); }

std::u16string Utf8ToUtf16(std::string_view utf8) { return DecodeUtf8(utf8); }

// Hot: every script the engine runs and every answer it reads comes this way.
// Written into a buffer sized for the worst case (three bytes a unit), then
// cut to length.
std::string Utf16ToCesu8(std::u16string_view text) {
  std::string out(text.size() * 3, '\0');
  char* p = out.data();
  for (char16_t u : text) {
    if (u < 0x80) {
      *p++ = static_cast<char>(u);
    } else if (u < 0x800) {
      *p++ = static_cast<char>(0xC0 | (u >> 6));
      *p++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
      *p++ = static_cast<char>(0xE0 | (u >> 12));
      *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(p - out.data()));
  return out;
}

std::u16string Cesu8ToUtf16(std::string_view text) { return DecodeUtf8(text, true); }

std::string Utf16ToUtf8(std::u16string_view text) { return EncodeUtf8(text); }

std::size_t LocalCharLength(LocalView text, std::size_t pos) noexcept {
  if (pos >= text.size()) return 0;
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x81 || b0 == 0xFF) return 1;
  if (pos + 1 >= text.size()) return 1;
  const auto b1 = static_cast<unsigned char>(text[pos + 1]);
  if (b1 >= 0x30 && b1 <= 0x39) {
    // Four-byte GB18030 sequence: lead, digit, lead, digit.
    if (pos + 3 < text.size()) {
      const auto b2 = static_cast<unsigned char>(text[pos + 2]);
      const auto b3 = static_cast<unsigned char>(text[pos + 3]);
      if (b2 >= 0x81 && b2 <= 0xFE && b3 >= 0x30 && b3 <= 0x39) return 4;
    }
    return 1;
  }
  if (b1 >= 0x40 && b1 <= 0xFE && b1 != 0x7F) return 2;
  return 1;
}

std::size_t FindLocal(LocalView text, LocalView needle, std::size_t from) noexcept {
  if (from > text.size()) return LocalView::npos;
  // Walk character starts from the beginning: a search starting inside a
  // double-byte character must not treat its trail byte as a start.
  std::size_t pos = 0;
  while (pos < from) {
    const std::size_t len = LocalCharLength(text, pos);
    if (len == 0) break;
    pos += len;
  }
  if (needle.empty()) return pos <= text.size() ? pos : LocalView::npos;
  while (pos + needle.size() <= text.size()) {
    if (text.compare(pos, needle.size(), needle) == 0) return pos;
    pos += LocalCharLength(text, pos);
  }
  return LocalView::npos;
}

}  // namespace lumbrin
