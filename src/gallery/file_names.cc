#include "gallery/file_names.h"

#include <algorithm>

#include "http/charset.h"

namespace lumbrin {
namespace {

constexpr std::size_t kMaxIdBytes = 64;
// An extension longer than this is not worth keeping whole when cutting.
constexpr std::size_t kMaxExtensionBytes = 32;

bool IsContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The largest cut at or below `limit` that does not split a UTF-8 character.
std::size_t CharBoundaryAtOrBelow(const std::string& text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  while (limit > 0 && IsContinuationByte(static_cast<unsigned char>(text[limit]))) --limit;
  return limit;
}

std::size_t ExtensionStart(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot > kMaxExtensionBytes) return name.size();
  return dot;
}

// Cuts the stem so that stem + extension fits the bound.
std::string FitToBound(const std::string& name) {
  if (name.size() <= kMaxFileNameBytes) return name;
  const std::size_t extStart = ExtensionStart(name);
  const std::string extension = name.substr(extStart);
  const std::size_t room = kMaxFileNameBytes - extension.size();
  return name.substr(0, CharBoundaryAtOrBelow(name.substr(0, extStart), room)) + extension;
}

std::string WithSuffix(const std::string& name, const std::string& suffix) {
  const std::size_t extStart = ExtensionStart(name);
  const std::string extension = name.substr(extStart);
  std::string stem = name.substr(0, extStart);
  const std::size_t fixed = suffix.size() + extension.size();
  if (stem.size() + fixed > kMaxFileNameBytes) {
    stem.resize(CharBoundaryAtOrBelow(stem, kMaxFileNameBytes > fixed ? kMaxFileNameBytes - fixed : 0));
  }
  return stem + suffix + extension;
}

}  // namespace

std::string SafeIdText(LocalView id) {
  std::string out;
  for (const char c : LocalToUtf8(id)) {
    if (out.size() == kMaxIdBytes) break;
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_';
    out.push_back(plain ? c : '_');
  }
  return out;
}

std::string SafeFileName(LocalView fileName, LocalView id) {
  const std::string utf8 = LocalToUtf8(fileName);
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '/' || byte == '\\') {
      out.push_back('_');
    } else if (byte == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out.push_back('_');  // C1 control character
      ++i;
    } else {
      out.push_back(utf8[i]);
    }
  }
  if (std::all_of(out.begin(), out.end(), [](char c) { return c == '.'; })) {
    const std::string safeId = SafeIdText(id);
    return safeId.empty() ? std::string("picture") : "picture_" + safeId;
  }
  // A leading dot would hide the file (and could meet the temporary names).
  for (char& c : out) {
    if (c != '.') break;
    c = '_';
  }
  return FitToBound(out);
}

std::string FileNameRegistry::add(LocalView id, LocalView fileName) {
  const std::string base = SafeFileName(fileName, id);
  const auto claim = [&](const std::string& name) {
    const auto [it, inserted] = idOfName_.try_emplace(name, LocalText(id));
    return inserted || it->second == id;
  };
  if (claim(base)) return base;
  const std::string idSuffix = "_" + SafeIdText(id);
  std::string candidate = WithSuffix(base, idSuffix);
  for (int k = 2; !claim(candidate); ++k) candidate = WithSuffix(base, idSuffix + "_" + std::to_string(k));
  return candidate;
}

}  // namespace lumbrin
