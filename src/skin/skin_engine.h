#pragma once
// The skin engine: a small library image made here at start-up and mapped by
// MemoryImageLoader like any library. Its one export, SkinH_AttachRes, is a
// jump through an import thunk to a routine of the host module
// kSkinEngineModule, bound through the host symbol table at load time. That
// routine reads the skin blob and hands its style sheet to the applier the
// front end installed (the window applies it to the whole application).
//
// Thread contract: the GUI thread installs the applier and attaches skins.

#include <cstdint>
#include <functional>
#include <string_view>

#include "base/text.h"

namespace lumbrin {

class HostSymbolTable;

inline constexpr std::string_view kSkinEngineModule = "lumbrin-skin-engine";
inline constexpr std::string_view kSkinAttachExport = "SkinH_AttachRes";

// Receives the UTF-8 style sheet of an attached skin; returns whether it was applied.
using SkinStyleApplier = std::function<bool(std::string_view styleSheet)>;

// Replaces the applier (an empty function removes it).
void SetSkinStyleApplier(SkinStyleApplier applier);

// The engine image: a DLL exporting kSkinAttachExport and importing the same
// name from kSkinEngineModule.
[[nodiscard]] ByteBuffer BuildSkinEngineImage();

// Offers the engine's routine to images as kSkinEngineModule!kSkinAttachExport.
// Returns the bound address, 0 when the table is full.
std::uintptr_t RegisterSkinEngine(HostSymbolTable& symbols);

// The engine's routine, as SkinH_AttachRes is called: (skin data address, its
// size, text address or 0, value1, value2, value3). The text and the values
// are accepted and not used. Returns 1 when the blob was well formed and the
// applier took its style sheet, else 0.
std::uintptr_t SkinEngineAttach(std::uintptr_t data, std::uintptr_t size, std::uintptr_t text,
                                std::uintptr_t value1, std::uintptr_t value2, std::uintptr_t value3);

}  // namespace lumbrin
