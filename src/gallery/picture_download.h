#pragma once
// Downloading and saving one picture, and the size text of its log line.
//
// Thread contract: DownloadPicture runs on a download worker (the single
// worker, or one of up to ten picture threads at once). Pictures are never
// half saved: the file under the picture's name is replaced only by a
// complete, verified download, and a failed one leaves nothing behind.

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "gallery/host.h"

namespace lumbrin {

// Bound on one picture file, so a server cannot fill the disk.
inline constexpr std::uint64_t kMaxPictureBytes = std::uint64_t{16} << 30;

// The byte count given as decimal text in its largest unit with up to two
// decimals and a lower-case unit: "0b", "1.5kb", "1024kb", "2gb", "8.67eb".
[[nodiscard]] LocalText FormatSize(LocalView count);

enum class PictureFailure {
  None,
  NoLink,      // the storage answer held no link
  NoAnswer,    // the link gave no answer
  NoTarget,    // the link's answer named no file address
  Http,        // the file request answered another status than 200
  Transport,   // connection failed or broke off
  TimedOut,
  Cancelled,
  ErrorPage,   // a JSON or HTML answer where a file was expected
  Empty,
  Incomplete,  // fewer or more bytes than announced
  TooLarge,
  Write,       // the file could not be written in full
};

struct PictureResult {
  PictureFailure failure = PictureFailure::None;
  int status = 0;           // of the file request, when it was made
  std::uint64_t bytes = 0;  // saved
  [[nodiscard]] bool ok() const { return failure == PictureFailure::None; }
};

// Runs the whole chain for `id` and saves the file as `folder` / `name`
// (`name`: one safe UTF-8 component, see SafeFileName). Logs nothing and
// leaves activeWorkers alone, for callers with their own scheduling.
[[nodiscard]] PictureResult SavePicture(Host& host, LocalView id, const std::filesystem::path& folder,
                                        const std::string& name);

// A short reason for the failure line, e.g. "（HTTP 500）"; empty on success.
[[nodiscard]] LocalText FailureReason(const PictureResult& result);

// Saves picture `id` into host.saveFolder() under its safe file name (see
// SafeFileName), logs its line and the following empty line, and then, as
// its last access to the host, decrements activeWorkers (which the caller
// incremented for it).
void DownloadPicture(Host& host, LocalView id, LocalView fileName);

// Thread routine of a picture thread: DownloadPicture on copies of its texts.
std::int32_t PictureWorker(Host& host, LocalView id, LocalView fileName);

}  // namespace lumbrin
