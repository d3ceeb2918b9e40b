#include "skin/skin_attach.h"

#include <string>

#include "skin/host_symbols.h"
#include "skin/skin_blobs.h"
#include "skin/skin_engine.h"

namespace lumbrin {

bool StartSkinEngine(SkinState& state, HostSymbolTable* symbols) {
  HostSymbolTable& table = symbols != nullptr ? *symbols : HostSymbolTable::process();
  state.skinLoader = std::make_unique<MemoryImageLoader>(&table);
  if (RegisterSkinEngine(table) == 0) return false;
  return state.skinLoader->load(BuildSkinEngineImage());
}

std::int32_t AttachBuiltInSkin(SkinState& state, std::int32_t skin, std::uintptr_t /*window*/,
                               std::int32_t variant, LocalView text, std::int32_t value1, std::int32_t value2,
                               std::int32_t value3) {
  const auto blob = BuiltInSkin(skin, variant);
  if (!blob.empty()) state.skinData.assign(blob.begin(), blob.end());

  const std::uintptr_t attach = state.skinLoader ? state.skinLoader->getExport(kSkinAttachExport) : 0;
  if (attach == 0) return 0;
  // NUL-terminated for the engine, and alive for the call.
  const std::string textCopy(text);
  const auto data = state.skinData.empty() ? 0 : reinterpret_cast<std::uintptr_t>(state.skinData.data());
  const auto textAddress = textCopy.empty() ? 0 : reinterpret_cast<std::uintptr_t>(textCopy.c_str());
  // The integers travel as the 32-bit values they are, sign included.
  auto value = [](std::int32_t v) { return static_cast<std::uintptr_t>(static_cast<std::uint32_t>(v)); };
  return static_cast<std::int32_t>(CallAddress(attach, data, state.skinData.size(), textAddress,
                                               value(value1), value(value2), value(value3)));
}

void ReleaseSkinState(SkinState& state) {
  state.skinData.clear();
  state.skinData.shrink_to_fit();
  state.skinLoader.reset();
}

}  // namespace lumbrin
