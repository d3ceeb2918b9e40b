#pragma once
// Where the window saves pictures: the program's directory, or the user's
// pictures folder when the program's directory cannot be written (an
// installed program).

#include <filesystem>
#include <functional>
#include <string>

namespace lumbrin {

struct SaveFolderChoice {
  std::filesystem::path folder;
  bool fallback = false;  // not the program's directory: the log says so
};

// Whether files can be created in `folder` (access(2) with W_OK).
[[nodiscard]] bool IsWritableFolder(const std::filesystem::path& folder);

// `programDir` when `isWritable` says so; otherwise `picturesDir` (the value
// of $XDG_PICTURES_DIR; empty when unset), else `homeDir` + "/Pictures", with
// "Lumbrin" under it, created if missing. Any thread.
[[nodiscard]] SaveFolderChoice ChooseSaveFolder(const std::filesystem::path& programDir,
                                                const std::string& picturesDir, const std::string& homeDir,
                                                const std::function<bool(const std::filesystem::path&)>& isWritable);

}  // namespace lumbrin
