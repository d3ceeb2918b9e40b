#pragma once
// Pieces of the web request that tests check directly, because observing
// them on the wire would take as long as the limits they set.

#include <cstdint>

namespace lumbrin::detail {

struct WebTimeouts {
  bool clientDefaults = false;  // libcurl's own connect time-out and no inactivity limit
  std::int64_t connectMs = 0;   // resolve + connect (+ TLS handshake)
  std::int64_t inactivityMs = 0;  // longest wait without a byte sent or received
};

// The per-phase time-out of `timeoutSeconds`: -1 keeps the client's defaults,
// any other value below 1 means 15 s. Never a limit on the whole transfer.
[[nodiscard]] WebTimeouts TimeoutsFor(int timeoutSeconds) noexcept;

}  // namespace lumbrin::detail
