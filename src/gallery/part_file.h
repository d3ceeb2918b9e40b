#pragma once
// Writes a file so that readers only ever see the old content or the whole
// new content: the bytes go to a temporary file beside the target, created
// exclusively, and replace the target by rename only after fsync. A part file
// that is not committed is removed when the object goes.
//
// Used by one thread at a time.

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "http/web_request.h"

namespace lumbrin {

class PartFile final : public BodySink {
public:
  // `name` is one safe component (see SafeFileName); the temporary file is
  // ".<name>.<random>.part" in `folder`, mode 0644 (before the umask). A
  // target that exists and is not a plain file without execute permission
  // (the program, a library, a link, a folder) is never replaced: the file
  // does not open.
  PartFile(std::filesystem::path folder, std::string name, std::uint64_t maxBytes);
  ~PartFile() override;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // False when the temporary file could not be created.
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }

  // Only a 200 answer is taken in; anything else aborts the transfer early.
  bool begin(int status, const LocalText& headers) override;
  bool write(const std::uint8_t* data, std::size_t size) override;

  // fsync, close and rename over the target. False (and the temporary file
  // removed) when any of them failed, the file was not open or the target
  // has become one that is never replaced.
  [[nodiscard]] bool commit();

  [[nodiscard]] int status() const { return status_; }
  [[nodiscard]] std::uint64_t written() const { return written_; }
  [[nodiscard]] bool writeFailed() const { return writeFailed_; }
  [[nodiscard]] bool tooLarge() const { return tooLarge_; }
  // The Content-Type value of the answer headers given to begin(), if any.
  [[nodiscard]] const LocalText& contentType() const { return contentType_; }
  [[nodiscard]] const std::filesystem::path& target() const { return target_; }

private:
  void discard();

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::uint64_t maxBytes_;
  int fd_ = -1;
  int status_ = 0;
  std::uint64_t written_ = 0;
  bool writeFailed_ = false;
  bool tooLarge_ = false;
  bool committed_ = false;
  LocalText contentType_;
};

}  // namespace lumbrin
