#pragma once
// An ordered list of name-value pairs of local text that writes request header
// lines, form text and a flat JSON object; and the URL encoding it uses.
//
// Lookups by name take the first entry whose name is byte-for-byte equal.
// Duplicate, empty names and empty values are allowed. Every text put in is
// copied and every text handed out is a fresh copy.
//
// Thread contract: a list is used by one thread at a time (each request
// routine builds its own); urlEncode is pure and callable from any thread.

#include <memory>
#include <vector>

#include "base/text.h"

namespace lumbrin {

class NameValueList {
public:
  NameValueList() = default;
  virtual ~NameValueList() = default;
  NameValueList(const NameValueList&) = default;
  NameValueList& operator=(const NameValueList&) = default;
  NameValueList(NameValueList&&) noexcept = default;
  NameValueList& operator=(NameValueList&&) noexcept = default;

  // A new list owning copies of every entry, in the same order.
  [[nodiscard]] virtual std::unique_ptr<NameValueList> clone() const;
  // With toUtf8 the entry holds the UTF-8 bytes of both texts.
  virtual void add(LocalView name, LocalView value, bool toUtf8 = false);
  // Adds one entry per "&"-separated piece: the name before the piece's first
  // "=", the value after its last "=" (both empty without "="). No decoding.
  virtual void addFromFormText(LocalView text, bool toUtf8 = false);
  [[nodiscard]] virtual LocalText get(LocalView name) const;
  // Replaces the value of the first entry of that name, or appends the pair.
  virtual void set(LocalView name, LocalView value);
  // name=value joined by "&"; with encode both are URL-encoded (unreserved kept).
  [[nodiscard]] virtual LocalText toFormText(bool encode = false) const;
  // "name: value" lines joined by CR LF, no final CR LF; with encode only the
  // values are URL-encoded.
  [[nodiscard]] virtual LocalText toHeaderText(bool encode = false) const;
  [[nodiscard]] virtual std::vector<LocalText> names() const;
  [[nodiscard]] virtual std::vector<LocalText> values() const;
  virtual void clear();
  // Removes the first entry of that name only; nothing when there is none.
  virtual void remove(LocalView name);
  // {"name":"value",...}: names as they are, values with quotes escaped.
  [[nodiscard]] virtual LocalText toJsonText() const;
  // Every double quote preceded by a backslash; nothing else changes.
  [[nodiscard]] virtual LocalText escapeQuotes(LocalView text) const;
  // Removes `affix` once from the end, then once from the start, stores the
  // result into `text` and returns a copy of it.
  virtual LocalText trimAffix(LocalText& text, LocalView affix) const;

private:
  std::vector<LocalText> names_;
  std::vector<LocalText> values_;
};

// Percent-encodes every byte as "%XX" (upper-case hex), except that a space
// becomes "+" and, with keepUnreserved, A-Z a-z 0-9 - . _ ' ( ) * stay as they
// are. Zero bytes are dropped. With utf8First the text is converted to UTF-8
// first.
[[nodiscard]] LocalText urlEncode(LocalView text, bool keepUnreserved = false, bool utf8First = false);

}  // namespace lumbrin
