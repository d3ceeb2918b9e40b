#pragma once
// Backoff between attempts of a transient failure.

#include <chrono>
#include <cstdint>

#include "base/cancel.h"

namespace lumbrin::cli {

struct RetryPolicy {
  int retries = 3;       // attempts after the first
  int baseMs = 500;      // delay before the first retry
  int capMs = 10000;     // no delay is longer
};

// Delay before retry number `retry` (1-based): base * 2^(retry-1), capped,
// then a random point of its upper half, so parallel workers that failed
// together do not come back together. `random` is any 64-bit draw.
[[nodiscard]] std::chrono::milliseconds BackoffDelay(const RetryPolicy& policy, int retry, std::uint64_t random);

// Waits `delay` or until `token` is cancelled; false when cancelled.
bool WaitOrCancel(std::chrono::milliseconds delay, CancelToken& token);

}  // namespace lumbrin::cli
