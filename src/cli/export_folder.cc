#include "cli/export_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace lumbrin::cli {
namespace fs = std::filesystem;

FolderLock::Result FolderLock::acquire(const fs::path& folder) {
  fd_ = ::open((folder / kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd_ < 0) return Result::Failed;
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd_);
    fd_ = -1;
    return busy ? Result::Busy : Result::Failed;
  }
  return Result::Locked;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> PrepareFolder(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder, ec)) return "cannot create the folder, or it is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return "the folder is not writable";
  return std::nullopt;
}

bool IsPartFileName(const std::string& name) {
  constexpr std::size_t kTag = 16;
  constexpr std::string_view kSuffix = ".part";
  // "." + at least one character + "." + tag + ".part"
  if (name.size() < 1 + 1 + 1 + kTag + kSuffix.size() || name[0] != '.') return false;
  if (name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) return false;
  const std::size_t tagStart = name.size() - kSuffix.size() - kTag;
  if (name[tagStart - 1] != '.') return false;
  for (std::size_t i = tagStart; i < tagStart + kTag; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

namespace {

bool AllDigits(const std::string& text, std::size_t length) {
  if (text.size() != length) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::size_t RemovePartsIn(const fs::path& folder, int depth) {
  static constexpr std::size_t kWidths[] = {4, 2, 2};  // YYYY / MM / DD
  std::size_t removed = 0;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code statError;
    const fs::file_status status = it->symlink_status(statError);
    if (statError) continue;
    if (fs::is_regular_file(status) && IsPartFileName(name)) {
      if (fs::remove(it->path(), statError)) ++removed;
    } else if (fs::is_directory(status) && depth < 3 && AllDigits(name, kWidths[depth])) {
      removed += RemovePartsIn(it->path(), depth + 1);
    }
  }
  return removed;
}

}  // namespace

std::size_t RemoveStaleParts(const fs::path& folder) { return RemovePartsIn(folder, 0); }

}  // namespace lumbrin::cli
