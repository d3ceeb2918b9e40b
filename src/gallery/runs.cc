#include "gallery/runs.h"

#include <exception>
#include <span>

#include "base/cancel.h"
#include "gallery/picture_download.h"
#include "gallery/timestamp.h"
#include "http/charset.h"
#include "threads/pumping_wait.h"
#include "threads/thread_start.h"

namespace lumbrin {
namespace {

bool Ended() {
  const CancelToken* token = CurrentCancelToken();
  return token != nullptr && token->cancelled();
}

LocalText TimeText(Host& host) { return FormatDateTime(NowOleDate(host.clock()), "-", ":", 3); }

LocalText TextArgAt(std::span<const ThreadArg> args, std::size_t index) {
  if (index >= args.size()) return {};
  const auto* text = std::get_if<LocalText>(&args[index]);
  return text != nullptr ? *text : LocalText();
}

void RunTenWorkers(Host& host) {
  SharedState& state = host.state();
  host.appendLog(TimeText(host) + LocalFromUtf8(" 请稍等 正在启动现在线程\r\n"));
  host.appendLog(TimeText(host) + LocalFromUtf8("以开启十个线程下载\r\n"));
  RunRows rows(host);
  while (!Ended()) {
    const int n = host.rowCount();
    if (state.nextRow.load() >= n) return;
    if (state.runState.load() == 2) return;
    if (state.activeWorkers.load() < kMaxPictureWorkers) {
      if (state.runState.load() == 2 || Ended()) return;
      const int row = TakeNextRow(state, n);
      if (row < 0) return;
      state.activeWorkers.fetch_add(1);
      const std::optional<RunRows::Picture> picture = rows.at(row);
      ThreadHandle worker;
      if (picture && !Ended()) {
        worker = StartThreadWithArgs(
            [&host, keep = host.keepAlive()](std::span<const ThreadArg> args) {
              return PictureWorker(host, TextArgAt(args, 0), TextArgAt(args, 1));
            },
            std::nullopt, nullptr, ThreadArg(picture->id), ThreadArg(picture->fileName));
      }
      // No thread will download it, so no one else gives the slot back.
      if (!worker) state.activeWorkers.fetch_sub(1);
    }
    PumpingWait(kDispatchPassMs);
  }
}

}  // namespace

int TakeNextRow(SharedState& state, int rowCount) {
  int row = state.nextRow.load();
  while (row < rowCount) {
    if (state.nextRow.compare_exchange_weak(row, row + 1)) return row;
  }
  return -1;
}

std::optional<RunRows::Picture> RunRows::at(int row) {
  if (row < 0) return std::nullopt;
  const auto first = static_cast<int>(seen_.size());
  if (row >= first) {
    for (std::vector<LocalText>& cells : host_.readRows(first, row - first + 1)) {
      cells.resize(3);
      const std::string name = names_.add(cells[kColumnId], cells[kColumnFileName]);
      seen_.push_back({std::move(cells[kColumnId]), Utf8ToLocal(name)});
    }
  }
  if (row >= static_cast<int>(seen_.size())) return std::nullopt;
  return seen_[static_cast<std::size_t>(row)];
}

void RunSingleWorker(Host& host) {
  try {
    SharedState& state = host.state();
    host.appendLog(TimeText(host) + LocalFromUtf8(" 请稍等 正在启动单线程下载\r\n"));
    host.appendLog(TimeText(host) + LocalFromUtf8("正在以一个线程下载\r\n"));
    RunRows rows(host);
    while (!Ended()) {
      const int n = host.rowCount();
      int row = state.nextRow.load();
      if (row >= n) {
        host.showMessage(LocalFromUtf8("已下载完毕 文件保存在：") + Utf8ToLocal(host.saveFolder().string()));
        return;
      }
      if (state.runState.load() == 2) return;
      if (!state.nextRow.compare_exchange_strong(row, row + 1)) continue;  // another run took it
      state.activeWorkers.fetch_add(1);
      const std::optional<RunRows::Picture> picture = rows.at(row);
      if (picture) {
        DownloadPicture(host, picture->id, picture->fileName);
      } else {
        state.activeWorkers.fetch_sub(1);
      }
    }
  } catch (const std::exception&) {
    // Nothing escapes a worker; the run just ends.
  }
}

void DownloadDispatcher(Host& host) {
  try {
    const std::int32_t mode = host.state().downloadMode.load();
    if (mode == 2) {
      RunTenWorkers(host);
    } else if (mode == 1 && !Ended()) {
      (void)StartThread(
          [&host, keep = host.keepAlive()](std::int32_t) {
            RunSingleWorker(host);
            return std::int32_t{0};
          },
          0);
    }
  } catch (const std::exception&) {
    // Nothing escapes a worker; the run just ends.
  }
}

}  // namespace lumbrin
