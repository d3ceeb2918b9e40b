// Maps arbitrary bytes as a library image. Nothing of a fuzzed image is ever
// run: the loader skips entry points (EntryCalls::kSkip) and exports are only
// looked up, never called.
//
// Input: the first byte chooses the mode. Even: the rest is the image as it
// stands. Odd: the rest is a list of 6-byte patches (16-bit offset, 32-bit
// value) over the skin engine's image, which reaches the relocation, import
// and export walks far more often than raw bytes do.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>

#include "skin/host_symbols.h"
#include "skin/memory_image_loader.h"
#include "skin/skin_engine.h"

namespace {

std::uintptr_t NeverCalled() { std::abort(); }

lumbrin::HostSymbolTable& Symbols() {
  static lumbrin::HostSymbolTable* table = [] {
    auto* t = new lumbrin::HostSymbolTable;
    t->add(lumbrin::kSkinEngineModule, lumbrin::kSkinAttachExport, lumbrin::RoutineAddress(&NeverCalled));
    t->add("kernel32.dll", "GetProcAddress", lumbrin::RoutineAddress(&NeverCalled));
    t->addOrdinal("kernel32.dll", 1, lumbrin::RoutineAddress(&NeverCalled));
    return t;
  }();
  return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  lumbrin::ByteBuffer image;
  if ((data[0] & 1) == 0) {
    image.assign(data + 1, data + size);
  } else {
    static const lumbrin::ByteBuffer base = lumbrin::BuildSkinEngineImage();
    image = base;
    for (std::size_t i = 1; i + 6 <= size; i += 6) {
      std::uint16_t offset = 0;
      std::memcpy(&offset, data + i, 2);
      if (std::size_t{offset} + 4 > image.size()) image.resize(std::size_t{offset} + 4, 0);
      std::memcpy(image.data() + offset, data + i + 2, 4);
    }
  }

  lumbrin::MemoryImageLoader loader(&Symbols(), lumbrin::EntryCalls::kSkip);
  if (!loader.load(image)) {
    if (loader.handle() != 0) std::abort();
    return 0;
  }
  const std::uintptr_t base = loader.handle();
  for (const char* name : {"SkinH_AttachRes", "1", "2", "0", "65535", "-1", "02", ""}) {
    const std::uintptr_t address = loader.getExport(name);
    if (address != 0 && address < base) std::abort();
  }
  // A name taken from the input's tail exercises the name walk's comparisons.
  (void)loader.getExport(std::string(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 24)));
  (void)loader.entryPoint();
  auto copy = loader.clone();
  if (copy->handle() != base) std::abort();
  // Relocations may have rewritten the mapped headers, and free() rightly
  // refuses an image without its signatures. Put back the headers the loader
  // copied (they lie inside the mapping, as the load succeeded) so that every
  // run releases its memory.
  std::uint32_t lfanew = 0;
  std::memcpy(&lfanew, image.data() + 0x3C, 4);
  std::memcpy(reinterpret_cast<void*>(base), image.data(), std::size_t{lfanew} + 248);
  if (!loader.free()) std::abort();
  if (copy->handle() != 0) std::abort();
  return 0;
}
