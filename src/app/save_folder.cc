#include "app/save_folder.h"

#include <unistd.h>

#include <system_error>

namespace lumbrin {

bool IsWritableFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  return std::filesystem::is_directory(folder, ec) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

SaveFolderChoice ChooseSaveFolder(const std::filesystem::path& programDir, const std::string& picturesDir,
                                  const std::string& homeDir,
                                  const std::function<bool(const std::filesystem::path&)>& isWritable) {
  const auto writable = isWritable ? isWritable : IsWritableFolder;
  if (!programDir.empty() && writable(programDir)) return {programDir, false};
  std::filesystem::path base;
  if (!picturesDir.empty()) {
    base = picturesDir;
  } else {
    base = std::filesystem::path(homeDir.empty() ? std::string("/tmp") : homeDir) / "Pictures";
  }
  auto folder = base / "Lumbrin";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);  // a failure shows in the downloads' log lines
  return {folder, true};
}

}  // namespace lumbrin
