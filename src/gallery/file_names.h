#pragma once
// Names of saved pictures. A file name (and an id) from the service is
// untrusted: it becomes one plain component of the save folder, never a path,
// never hidden, never empty, never over-long.
//
// Pure; FileNameRegistry is used by one thread (one run) at a time.

#include <cstddef>
#include <string>
#include <unordered_map>

#include "base/text.h"

namespace lumbrin {

// Bound on a saved name in UTF-8 bytes, below NAME_MAX (255) with room for
// the temporary name written beside it.
inline constexpr std::size_t kMaxFileNameBytes = 200;

// `fileName` (local text) as a safe UTF-8 file name: "/", "\" and control
// characters become "_", leading dots become "_", a name that is empty or
// only dots becomes "picture_" + the sanitised id, and an over-long name is
// cut on a character boundary, keeping its extension. Idempotent.
[[nodiscard]] std::string SafeFileName(LocalView fileName, LocalView id);

// `id` (local text) reduced to [A-Za-z0-9_-], at most 64 bytes.
[[nodiscard]] std::string SafeIdText(LocalView id);

// Gives every picture of one list a distinct name, the same on every run
// over the same list: the first picture with a name keeps it; a later one
// with the same name and another id gets "_" + its id before the extension
// (then "_2", "_3", ... should even that be taken). The same id with the
// same name always gets the same name back.
class FileNameRegistry {
public:
  // Pictures must be added in list order. Returns the safe UTF-8 name.
  [[nodiscard]] std::string add(LocalView id, LocalView fileName);

private:
  std::unordered_map<std::string, LocalText> idOfName_;
};

}  // namespace lumbrin
