#pragma once
// The built-in skins: six skins in two variants, each a constant blob in the
// skin engine's format (all fields little-endian):
//
//   0   "LSKN"
//   4   format version, 16 bits (1)
//   6   variant, 16 bits (1 or 2)
//   8   skin number, 32 bits
//   12  style sheet length N, 32 bits
//   16  N bytes of Qt style sheet text, UTF-8, no NUL
//
// Pure data and parsing: callable from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lumbrin {

inline constexpr std::int32_t kBuiltInSkinCount = 6;
inline constexpr std::size_t kSkinBlobHeaderSize = 16;
inline constexpr std::size_t kMaxSkinBlobSize = std::size_t{1} << 20;

// The blob of `skin` (1 to 6): its variant-1 blob when `variant` is 1, its
// other blob for any other value. Empty for other skin numbers.
[[nodiscard]] std::span<const std::uint8_t> BuiltInSkin(std::int32_t skin, std::int32_t variant) noexcept;

// The style sheet a blob carries; nullopt for anything but a well-formed blob.
[[nodiscard]] std::optional<std::string_view> SkinStyleSheet(std::span<const std::uint8_t> blob) noexcept;

}  // namespace lumbrin
