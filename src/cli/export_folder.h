#pragma once
// The export folder: its exclusive lock, and the removal of part files a
// killed run left behind.

#include <filesystem>
#include <optional>
#include <string>

namespace lumbrin::cli {

inline constexpr const char* kLockFileName = ".lumbrin-export.lock";

// Holds flock(LOCK_EX) on the folder's lock file for its lifetime, so two
// exports never write into one folder. The lock ends with the process too,
// so a killed export never leaves the folder locked.
class FolderLock {
public:
  enum class Result { Locked, Busy, Failed };
  // Creates the lock file when missing.
  [[nodiscard]] Result acquire(const std::filesystem::path& folder);
  ~FolderLock();
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

private:
  int fd_ = -1;
};

// Creates `folder` (and its parents) when missing; an error text when it
// cannot be used as an export folder.
[[nodiscard]] std::optional<std::string> PrepareFolder(const std::filesystem::path& folder);

// True for the temporary name PartFile gives ".<name>.<16 hex>.part".
[[nodiscard]] bool IsPartFileName(const std::string& name);

// Removes part files from the folder itself and its YYYY/MM/DD day folders
// (the only places an export writes to). Symbolic links are not followed.
// Returns how many were removed. Call only while holding the FolderLock.
std::size_t RemoveStaleParts(const std::filesystem::path& folder);

}  // namespace lumbrin::cli
