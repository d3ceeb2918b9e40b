#pragma once
// The work the window's commands start: the listing, and the download runs
// over the picture list (one worker, or up to ten picture threads).
//
// Thread contract: each routine is the body of a worker thread started with
// the threads library (so it has its own CurrentCancelToken()); the host must
// outlive every thread they start, each of which holds host.keepAlive() for
// its life. A routine whose token is cancelled takes no further row and
// starts no further thread; runState 2 stops every loop at its next check,
// after the picture in progress.

#include <cstdint>
#include <optional>
#include <vector>

#include "base/text.h"
#include "gallery/file_names.h"
#include "gallery/host.h"

namespace lumbrin {

// Downloads in progress that the ten-worker run allows at once.
inline constexpr std::int32_t kMaxPictureWorkers = 10;
// Pause between two passes of the ten-worker loop, in milliseconds.
inline constexpr std::int32_t kDispatchPassMs = 50;

// Fills the picture list (gallery/listing.h).
void ListAllPictures(Host& host);

// Reads downloadMode once: 1 starts RunSingleWorker on a new thread and
// returns; 2 runs the ten-worker loop on this thread; anything else returns.
void DownloadDispatcher(Host& host);

// Downloads the rows from nextRow on, one after another, then shows
// "已下载完毕 文件保存在：" + the save folder; ends silently on a stop.
void RunSingleWorker(Host& host);

// Takes row nextRow for download work when it is below `rowCount`: the test
// and the take are one step, so runs working at once never take a row twice
// or one past the end. -1 when no row is left.
[[nodiscard]] int TakeNextRow(SharedState& state, int rowCount);

// The rows a run takes, with the names their pictures are saved under. The
// names of all rows before a taken one are settled first, in one read of the
// rows not seen yet, so every run over the same list names alike.
// Used by one thread.
class RunRows {
public:
  explicit RunRows(Host& host) : host_(host) {}

  struct Picture {
    LocalText id;
    LocalText fileName;  // the safe, distinct name (local text)
  };
  // Empty when the row does not exist (the list was emptied meanwhile).
  [[nodiscard]] std::optional<Picture> at(int row);

private:
  Host& host_;
  FileNameRegistry names_;
  std::vector<Picture> seen_;
};

}  // namespace lumbrin
