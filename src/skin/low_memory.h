#pragma once
// Anonymous read/write/execute mappings that lie wholly below 4 GiB, where
// 32-bit image fields can address them. Internal to the skin library.

#include <cstddef>
#include <cstdint>

namespace lumbrin::detail {

inline constexpr std::uint64_t kLowLimit = std::uint64_t{1} << 32;

// Maps `size` bytes (rounded up to pages) at exactly `preferred` when that is
// a free, page-aligned range below 4 GiB, else anywhere below 4 GiB. Never
// replaces an existing mapping. Returns 0 on failure.
[[nodiscard]] std::uintptr_t MapLow(std::size_t size, std::uintptr_t preferred) noexcept;

// Maps at exactly `address` or fails (0); never replaces an existing mapping.
[[nodiscard]] std::uintptr_t MapLowAt(std::size_t size, std::uintptr_t address) noexcept;

void UnmapLow(std::uintptr_t address, std::size_t size) noexcept;

[[nodiscard]] std::size_t PageSize() noexcept;

}  // namespace lumbrin::detail
