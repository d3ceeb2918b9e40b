// The gallery client's handling of untrusted text from the service: the
// callback name read out of a storage link, the cut of the wrapped answer
// between that name and the end marker, and the file names (and ids) that
// become names in the save folder. The input is cut at zero bytes into up to
// eight pieces; besides crashes and sanitizer reports, the checks below abort
// on results that would be unsafe or plainly wrong.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "gallery/file_names.h"
#include "gallery/link_resolution.h"
#include "http/charset.h"
#include "http/header_text.h"

namespace {

using lumbrin::LocalText;
using lumbrin::LocalView;

void Check(bool ok) {
  if (!ok) std::abort();
}

bool Contains(LocalView haystack, LocalView needle) { return haystack.find(needle) != LocalView::npos; }

int NonEmptyPieces(LocalView text, char separator) {
  int count = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == LocalView::npos) end = text.size();
    if (end > start) ++count;
    start = end + 1;
  }
  return count;
}

void CallbackName(LocalView link) {
  const LocalText name = lumbrin::CallbackNameOf(link);
  if (name == lumbrin::LocalFromUtf8("无")) return;
  // A name is one value of one field: never empty, never holding the
  // separators, always taken from the link itself, and only from a link
  // with a fourth field.
  Check(!name.empty());
  Check(!Contains(name, "&") && !Contains(name, "="));
  Check(Contains(link, name));
  Check(NonEmptyPieces(link, '&') >= 4);
}

void WrappedCut(LocalView answer, LocalView name) {
  const LocalText wrapped = LocalText(answer) + LocalText(lumbrin::kWrappedAnswerEnd);
  const LocalText json = lumbrin::TextBetween(wrapped, name, lumbrin::kWrappedAnswerEnd);
  // The cut is a piece of the answer; it never reaches into the marker
  // that was appended, so it never grows beyond the answer itself.
  Check(json.size() <= answer.size());
  Check(Contains(answer, json));
}

void ExpectSafeName(const std::string& name) {
  Check(!name.empty());
  Check(name != "." && name != "..");
  Check(name.front() != '.');
  Check(name.size() <= lumbrin::kMaxFileNameBytes);
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    Check(byte >= 0x20 && byte != 0x7F && c != '/' && c != '\\');
  }
  // Valid UTF-8 (the file system takes any bytes, but a name shown to the
  // user or written to a log must decode).
  Check(lumbrin::LocalToUtf8(lumbrin::Utf8ToLocal(name)) == name);
}

void FileNames(const std::vector<LocalText>& pieces) {
  for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
    const std::string name = lumbrin::SafeFileName(pieces[i], pieces[i + 1]);
    ExpectSafeName(name);
    Check(lumbrin::SafeFileName(lumbrin::Utf8ToLocal(name), pieces[i + 1]) == name);  // idempotent
    const std::string id = lumbrin::SafeIdText(pieces[i + 1]);
    Check(id.size() <= 64);
    for (const char c : id) {
      Check((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_');
    }
  }

  // One list: every name safe, no two ids ever given one name, and the same
  // (id, name) always given the same name back.
  lumbrin::FileNameRegistry registry;
  std::map<std::string, LocalText> idOfName;
  std::map<std::pair<LocalText, LocalText>, std::string> given;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      const LocalText& id = pieces[(i + 1) % pieces.size()];
      const std::string name = registry.add(id, pieces[i]);
      ExpectSafeName(name);
      const auto [owner, fresh] = idOfName.try_emplace(name, id);
      Check(fresh || owner->second == id);
      const auto [before, first] = given.try_emplace({id, pieces[i]}, name);
      Check(first || before->second == name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  std::vector<LocalText> pieces;
  LocalText current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && pieces.size() < 7) {
      pieces.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  pieces.push_back(current);

  CallbackName(pieces[0]);
  const LocalText name = lumbrin::CallbackNameOf(pieces[0]);
  WrappedCut(pieces.size() > 1 ? pieces[1] : pieces[0], name);
  if (pieces.size() > 2) WrappedCut(pieces[1], pieces[2]);
  FileNames(pieces);
  return 0;
}
