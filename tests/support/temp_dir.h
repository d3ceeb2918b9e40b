#pragma once
#include <filesystem>

namespace lumbrin::test {

// A fresh folder under the system's temporary folder, removed with all its
// content when the object is destroyed.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

}  // namespace lumbrin::test
