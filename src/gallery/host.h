#pragma once
// What the gallery core needs of the front end it runs under: the cookie box,
// the picture list, the log, message boxes, the shared state, the save folder,
// the service settings and the clock. The window, the exporter and the tests
// each implement it; the core never knows which one it runs under.
//
// Thread contract: every operation may be called from any thread and returns
// when it has been carried out. A front end with a GUI thread carries list,
// log and cookie operations out there. Operations requested by a thread whose
// cancel token (base/cancel.h) is cancelled may be refused: appendRow then
// gives -1, setCell does nothing, reads give empty text or 0.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "gallery/clock.h"

namespace lumbrin {

class WebSession;  // http/web_request.h

// The state through which the commands steer the workers; each field is an
// independent atomic 32-bit value.
struct SharedState {
  std::atomic<std::int32_t> runState{0};       // 1: work may go on; 2: stop requested
  std::atomic<std::int32_t> downloadMode{0};   // 1: one worker; 2: up to ten
  std::atomic<std::int32_t> nextRow{0};        // rows handed out to download work
  std::atomic<std::int32_t> activeWorkers{0};  // picture downloads in progress
};

struct ServiceSettings {
  std::string baseUrl;    // scheme and host, no trailing "/"
  std::string caFile;     // extra trusted CA certificates (PEM); empty for none
  bool insecure = false;  // explicit opt-out of certificate verification; never the default
  int timeoutSeconds = 0; // per-phase time-out of every request; below 1 means 15 s
  // Connection cache the requests share (not owned; outlives every request);
  // null: the process-wide one.
  WebSession* session = nullptr;
};

// Columns of a picture row.
inline constexpr int kColumnId = 0;
inline constexpr int kColumnThumbnail = 1;
inline constexpr int kColumnFileName = 2;

class Host {
public:
  virtual ~Host() = default;

  // The cookie box's whole text at the moment of the call.
  [[nodiscard]] virtual LocalText cookieText() = 0;

  // Picture list.
  virtual void removeAllRows() = 0;
  // Appends a row holding `cells` (column 0 first) in one step; returns its
  // 0-based index, or -1 when refused.
  virtual int appendRow(const std::vector<LocalText>& cells) = 0;
  virtual void setCell(int row, int column, const LocalText& text) = 0;
  [[nodiscard]] virtual int rowCount() = 0;
  // Empty for a row or column that does not exist.
  [[nodiscard]] virtual LocalText cellText(int row, int column) = 0;
  // The three cells of each existing row of [first, first + count), in one
  // step where the front end can (this default reads cell by cell, so rows
  // may change between reads). Fewer rows when the list ends sooner.
  [[nodiscard]] virtual std::vector<std::vector<LocalText>> readRows(int first, int count) {
    std::vector<std::vector<LocalText>> rows;
    const int total = rowCount();
    for (int row = first < 0 ? 0 : first; row < total && row - first < count; ++row) {
      rows.push_back({cellText(row, kColumnId), cellText(row, kColumnThumbnail), cellText(row, kColumnFileName)});
    }
    return rows;
  }

  // Appends `text` at the very end of the log; the caller supplies "\r\n".
  virtual void appendLog(const LocalText& text) = 0;
  // Shows `text` with an OK button and the caption "信息："; blocks the calling
  // thread (only that thread) until it is dismissed.
  virtual void showMessage(const LocalText& text) = 0;

  [[nodiscard]] virtual SharedState& state() = 0;
  [[nodiscard]] virtual const ServiceSettings& service() = 0;
  // The folder pictures are saved into (exists and is writable, or the
  // downloads fail and say so).
  [[nodiscard]] virtual std::filesystem::path saveFolder() = 0;
  [[nodiscard]] virtual const Clock& clock() { return SystemClock(); }
  // A share in the host's ownership, which a routine hands to every thread
  // it starts itself, so the host outlives those threads even when the front
  // end lets go of it first (a window closed while pictures still download).
  // Null where the front end guarantees the host's life some other way.
  [[nodiscard]] virtual std::shared_ptr<void> keepAlive() { return nullptr; }
};

}  // namespace lumbrin
