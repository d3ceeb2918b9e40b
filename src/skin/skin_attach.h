#pragma once
// The skin's process-wide state and the attachment of a built-in skin.
//
// Thread contract: the GUI thread only (start-up, window creation, exit).
// Ownership: the front end holds one SkinState for the life of the process.

#include <cstdint>
#include <memory>

#include "base/text.h"
#include "skin/memory_image_loader.h"

namespace lumbrin {

class HostSymbolTable;

struct SkinState {
  std::unique_ptr<MemoryImageLoader> skinLoader;
  // The copy of the skin last chosen. The engine may keep using it after the
  // attach, so it stays until the next attach replaces it or the exit routine
  // releases it.
  ByteBuffer skinData;
};

// Start-up: creates the loader, offers the engine's routine through `symbols`
// (null: the process-wide table) and loads the engine image. Returns whether
// the engine is loaded; the program goes on unskinned when it is not.
bool StartSkinEngine(SkinState& state, HostSymbolTable* symbols = nullptr);

// Copies the blob of `skin` (variant 1, or the other for any other value) into
// skinData and calls the engine's SkinH_AttachRes with (data or 0, size, text
// or 0, value1, value2, value3). A skin outside 1 to 6 leaves skinData as it
// was and still makes the call. `window` is accepted and not used. When the
// engine or its export is missing nothing is called and the result is 0;
// otherwise it is the engine's result.
std::int32_t AttachBuiltInSkin(SkinState& state, std::int32_t skin, std::uintptr_t window,
                               std::int32_t variant = 0, LocalView text = {}, std::int32_t value1 = 0,
                               std::int32_t value2 = 0, std::int32_t value3 = 0);

// The exit routine's part: frees skinData and releases the loader object. The
// engine image itself stays mapped until the process ends.
void ReleaseSkinState(SkinState& state);

}  // namespace lumbrin
