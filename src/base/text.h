#pragma once
// The two value types that cross every boundary of the core.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumbrin {

// Local text: GB18030 bytes. GB18030 encodes every GBK character with the
// same bytes as GBK and also holds every other Unicode character, so nothing
// is mangled to "?". An empty text and an absent text are the same.
using LocalText = std::string;
using LocalView = std::string_view;

// A byte buffer: response bodies, picture files, images. May hold zero bytes.
// Deliberately not a std::string, so it cannot be passed where text is meant.
using ByteBuffer = std::vector<std::uint8_t>;

}  // namespace lumbrin
