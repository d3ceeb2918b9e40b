#include "data/name_value_list.h"

#include <algorithm>

#include "http/charset.h"
#include "http/header_text.h"

namespace lumbrin {
namespace {

bool IsUnreserved(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '\'' || c == '(' || c == ')' || c == '*';
}

// Empty text is empty in every encoding; skipping the conversion also keeps
// an empty buffer away from the byte-copying conversion code.
std::string Utf8Of(LocalView text) {
  return text.empty() ? std::string() : LocalTextToUtf8(text);
}

}  // namespace

std::unique_ptr<NameValueList> NameValueList::clone() const {
  return std::make_unique<NameValueList>(*this);
}

void NameValueList::add(LocalView name, LocalView value, bool toUtf8) {
  if (toUtf8) {
    names_.push_back(Utf8Of(name));
    values_.push_back(Utf8Of(value));
  } else {
    names_.emplace_back(name);
    values_.emplace_back(value);
  }
}

void NameValueList::addFromFormText(LocalView text, bool toUtf8) {
  for (const LocalText& piece : SplitLocal(text, "&")) {
    const std::size_t first = FindLocal(piece, "=");
    if (first == LocalView::npos) {
      add({}, {}, toUtf8);
      continue;
    }
    // "=" (0x3D) is never a trail byte of a GB18030 character, so the last
    // byte equal to it is the last "=" character.
    const std::size_t last = piece.rfind('=');
    const LocalView view(piece);
    add(view.substr(0, first), view.substr(last + 1), toUtf8);
  }
}

LocalText NameValueList::get(LocalView name) const {
  const auto it = std::find(names_.begin(), names_.end(), name);
  if (it == names_.end()) return {};
  return values_[static_cast<std::size_t>(it - names_.begin())];
}

void NameValueList::set(LocalView name, LocalView value) {
  const auto it = std::find(names_.begin(), names_.end(), name);
  if (it == names_.end()) {
    add(name, value);
    return;
  }
  values_[static_cast<std::size_t>(it - names_.begin())] = LocalText(value);
}

LocalText NameValueList::toFormText(bool encode) const {
  LocalText out;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    out += encode ? urlEncode(names_[i], true) : names_[i];
    out += '=';
    out += encode ? urlEncode(values_[i], true) : values_[i];
    out += '&';
  }
  if (!out.empty()) out.pop_back();
  return out;
}

LocalText NameValueList::toHeaderText(bool encode) const {
  LocalText out;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    out += names_[i];
    out += ": ";
    out += encode ? urlEncode(values_[i], true) : values_[i];
    out += "\r\n";
  }
  if (!out.empty()) out.resize(out.size() - 2);
  return out;
}

std::vector<LocalText> NameValueList::names() const {
  return names_;
}

std::vector<LocalText> NameValueList::values() const {
  return values_;
}

void NameValueList::clear() {
  names_.clear();
  values_.clear();
}

void NameValueList::remove(LocalView name) {
  const auto it = std::find(names_.begin(), names_.end(), name);
  if (it == names_.end()) return;
  const auto index = it - names_.begin();
  names_.erase(it);
  values_.erase(values_.begin() + index);
}

LocalText NameValueList::toJsonText() const {
  LocalText out = "{";
  for (std::size_t i = 0; i < names_.size(); ++i) {
    out += '"';
    out += names_[i];
    out += "\":\"";
    out += escapeQuotes(values_[i]);
    out += "\",";
  }
  trimAffix(out, ",");
  out += '}';
  return out;
}

LocalText NameValueList::escapeQuotes(LocalView text) const {
  LocalText out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out;
}

LocalText NameValueList::trimAffix(LocalText& text, LocalView affix) const {
  if (!affix.empty()) {
    if (text.ends_with(affix)) text.resize(text.size() - affix.size());
    if (text.starts_with(affix)) text.erase(0, affix.size());
  }
  return text;
}

LocalText urlEncode(LocalView text, bool keepUnreserved, bool utf8First) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string utf8 = utf8First ? Utf8Of(text) : std::string();
  const LocalView bytes = utf8First ? LocalView(utf8) : text;
  if (bytes.empty()) return {};
  // One allocation of the largest possible size, written in place.
  LocalText out(bytes.size() * 3, '\0');
  std::size_t n = 0;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0) continue;
    if (keepUnreserved && IsUnreserved(c)) {
      out[n++] = ch;
    } else if (c == ' ') {
      out[n++] = '+';
    } else {
      out[n++] = '%';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 0x0F];
    }
  }
  out.resize(n);
  return out;
}

}  // namespace lumbrin
