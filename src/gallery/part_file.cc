#include "gallery/part_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>

#include "base/ascii.h"
#include "http/header_text.h"

namespace lumbrin {
namespace {

std::string RandomTag() {
  // random_device may throw where no entropy source exists; a clock-seeded
  // engine is good enough to keep concurrent writers' names apart, and
  // O_EXCL settles any clash.
  std::uint64_t seed = 0;
  try {
    std::random_device device;
    seed = (std::uint64_t{device()} << 32) ^ device();
  } catch (...) {
    seed = static_cast<std::uint64_t>(::getpid());
  }
  thread_local std::mt19937_64 engine(seed ^ static_cast<std::uint64_t>(
                                                 std::chrono::steady_clock::now().time_since_epoch().count()));
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(engine()));
  return text;
}

// Whether a saved picture may take the place of what `target` names: nothing,
// or a plain file no one can execute (a picture saved before). The window
// saves into the program's own folder, where a picture named like the program,
// a library or a link beside it must not replace it.
bool Replaceable(const std::filesystem::path& target) {
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0;
}

}  // namespace

PartFile::PartFile(std::filesystem::path folder, std::string name, std::uint64_t maxBytes)
    : target_(folder / name), maxBytes_(maxBytes) {
  if (!Replaceable(target_)) return;
  for (int attempt = 0; attempt < 8 && fd_ < 0; ++attempt) {
    temporary_ = folder / ("." + name + "." + RandomTag() + ".part");
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0 && errno != EEXIST) break;
  }
}

PartFile::~PartFile() {
  if (!committed_) discard();
}

void PartFile::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_.c_str());
  }
}

bool PartFile::begin(int status, const LocalText& headers) {
  status_ = status;
  // Headers of every response (redirects included) may be present; the
  // last Content-Type is the one of the body.
  contentType_.clear();
  for (const LocalText& line : SplitLocal(headers, "\r\n")) {
    if (EqualsIgnoringAsciiCase(TrimBlanks(HeaderNameOf(line)), "content-type")) contentType_ = TrimBlanks(HeaderValueOf(line));
  }
  return fd_ >= 0 && status == 200;
}

bool PartFile::write(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) return false;
  if (size > maxBytes_ - written_) {
    tooLarge_ = true;
    return false;
  }
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      writeFailed_ = true;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool PartFile::commit() {
  if (fd_ < 0 || writeFailed_) {
    discard();
    return false;
  }
  const bool synced = ::fsync(fd_) == 0;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  // Checked again: the target may have appeared while the body came in.
  if (!synced || !closed || !Replaceable(target_) || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    ::unlink(temporary_.c_str());
    return false;
  }
  committed_ = true;
  // Make the rename itself durable; the file is complete either way.
  const int dir = ::open(target_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace lumbrin
