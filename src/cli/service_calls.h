#pragma once
// The exporter's requests to the service: the same addresses, headers and
// parsing as the window's listing and link resolution (gallery core), with
// each answer judged so that transient failures can be retried and a
// rejected session told apart from an unreachable service.
//
// Thread contract: every routine may run on many threads at once. Requests
// watch the calling thread's CurrentCancelToken().

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "gallery/host.h"
#include "gallery/part_file.h"
#include "http/web_request.h"

namespace lumbrin::cli {

enum class Verdict {
  Ok,
  Transient,  // worth another attempt: transport error, time-out, 5xx, 408, 429, a garbled answer
  Permanent,  // another attempt gives the same answer
  Cancelled,
};

struct Judged {
  Verdict verdict = Verdict::Ok;
  std::string reason;  // short, printable, never holds the cookie
};

// How a finished request went, before its body is looked at.
[[nodiscard]] Judged JudgeTransfer(const WebResponseInfo& info);

struct TimelineResult {
  Judged judged;                     // Permanent: the answer held no day key (session rejected)
  std::vector<std::string> dayKeys;  // each day once, in timeline order
};
[[nodiscard]] TimelineResult FetchTimelineDays(Host& host);

struct ListedPicture {
  LocalText id;
  LocalText thumbnail;
  LocalText fileName;
  std::string day;
};

struct PageResult {
  Judged judged;
  std::vector<ListedPicture> pictures;
};
[[nodiscard]] PageResult FetchDayPage(Host& host, const std::string& dayKey, int pageNum);

struct PictureAttempt {
  Judged judged;
  std::uint64_t bytes = 0;  // received in full, when Ok
  // When Ok: the verified file, not yet committed (fsync and rename are left
  // to the caller, so they need not hold up the next download). Dropping it
  // removes the part file.
  std::unique_ptr<PartFile> file;
};

// One attempt of the whole chain for picture `id`, fetching it into a part
// file for `folder` / `name` (a safe component): the final name only ever
// holds a complete file. `received` counts body bytes as they arrive
// (progress), also of attempts that fail.
[[nodiscard]] PictureAttempt FetchPicture(Host& host, LocalView id, const std::filesystem::path& folder,
                                          const std::string& name, std::atomic<std::uint64_t>* received);

}  // namespace lumbrin::cli
