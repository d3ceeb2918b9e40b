#include "skin/skin_engine.h"

#include <cstring>
#include <mutex>
#include <span>

#include "skin/host_symbols.h"
#include "skin/skin_blobs.h"

namespace lumbrin {
namespace {

std::mutex gApplierMutex;
SkinStyleApplier gApplier;

// Little-endian field writes into the image being made.
struct Image {
  ByteBuffer bytes;
  void put16(std::size_t at, std::uint16_t v) {
    bytes[at] = static_cast<std::uint8_t>(v);
    bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void put32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void put(std::size_t at, std::span<const std::uint8_t> b) { std::memcpy(bytes.data() + at, b.data(), b.size()); }
  void put(std::size_t at, std::string_view text) { std::memcpy(bytes.data() + at, text.data(), text.size()); }
};

}  // namespace

void SetSkinStyleApplier(SkinStyleApplier applier) {
  std::lock_guard lock(gApplierMutex);
  gApplier = std::move(applier);
}

std::uintptr_t SkinEngineAttach(std::uintptr_t data, std::uintptr_t size, std::uintptr_t /*text*/,
                                std::uintptr_t /*value1*/, std::uintptr_t /*value2*/,
                                std::uintptr_t /*value3*/) {
  if (data == 0 || size == 0 || size > kMaxSkinBlobSize) return 0;
  const auto sheet = SkinStyleSheet({reinterpret_cast<const std::uint8_t*>(data), size});
  if (!sheet) return 0;
  SkinStyleApplier applier;
  {
    std::lock_guard lock(gApplierMutex);
    applier = gApplier;
  }
  return applier && applier(*sheet) ? 1 : 0;
}

std::uintptr_t RegisterSkinEngine(HostSymbolTable& symbols) {
  return symbols.add(kSkinEngineModule, kSkinAttachExport, RoutineAddress(&SkinEngineAttach));
}

ByteBuffer BuildSkinEngineImage() {
  // One section at RVA 0x1000 holding, in this order:
  constexpr std::uint32_t kRva = 0x1000;
  constexpr std::uint32_t kEntry = 0x00;        // mov eax, 1; ret
  constexpr std::uint32_t kAttach = 0x10;       // mov eax, [rip -> thunk]; jmp rax
  constexpr std::uint32_t kThunks = 0x20;       // thunk, 0
  constexpr std::uint32_t kHintName = 0x28;     // hint 0, "SkinH_AttachRes"
  constexpr std::uint32_t kLibrary = 0x40;      // kSkinEngineModule
  constexpr std::uint32_t kDescriptors = 0x60;  // one descriptor and the terminating one
  constexpr std::uint32_t kExports = 0x88;      // export directory
  constexpr std::uint32_t kFunctions = 0xB0;
  constexpr std::uint32_t kNames = 0xB4;
  constexpr std::uint32_t kOrdinals = 0xB8;
  constexpr std::uint32_t kModuleName = 0xBC;   // "lumbrin-skin.dll"
  constexpr std::uint32_t kExportName = 0xD0;   // "SkinH_AttachRes"
  constexpr std::uint32_t kBodySize = 0x100;
  constexpr std::uint32_t kFile = 0x200;        // file offset of the section
  constexpr std::uint32_t kNt = 0x40;
  constexpr std::uint32_t kSections = kNt + 248;
  static_assert(kSections + 40 <= kFile);
  static_assert(kHintName + 2 + kSkinAttachExport.size() + 1 <= kLibrary);
  static_assert(kLibrary + kSkinEngineModule.size() + 1 <= kDescriptors);
  static_assert(kExportName + kSkinAttachExport.size() + 1 <= kBodySize);

  Image img{ByteBuffer(kFile + kBodySize, 0)};
  img.put16(0, 0x5A4D);
  img.put32(0x3C, kNt);
  img.put32(kNt, 0x4550);
  img.put16(kNt + 4, 0x014C);               // i386, as the container format says
  img.put16(kNt + 6, 1);                    // sections
  img.put16(kNt + 20, 224);                 // optional header size
  img.put16(kNt + 22, 0x2000 | 0x0100 | 0x0002);  // DLL, 32-bit, executable
  img.put16(kNt + 24, 0x010B);              // PE32
  img.put32(kNt + 40, kRva + kEntry);
  img.put32(kNt + 52, 0x10000000);          // ImageBase
  img.put32(kNt + 56, 0x1000);              // SectionAlignment
  img.put32(kNt + 60, 0x200);               // FileAlignment
  img.put32(kNt + 80, 0x2000);              // SizeOfImage
  img.put32(kNt + 84, kFile);               // SizeOfHeaders
  img.put32(kNt + 116, 16);                 // data directories
  img.put32(kNt + 120, kRva + kExports);
  img.put32(kNt + 124, kExportName + kSkinAttachExport.size() + 1 - kExports);
  img.put32(kNt + 128, kRva + kDescriptors);
  img.put32(kNt + 132, 40);

  img.put(kSections, std::string_view(".text"));
  img.put32(kSections + 8, kBodySize);
  img.put32(kSections + 12, kRva);
  img.put32(kSections + 16, kBodySize);
  img.put32(kSections + 20, kFile);
  img.put32(kSections + 36, 0xE0000020);    // code, readable, writable, executable

  const std::size_t body = kFile;
  constexpr std::uint8_t kEntryCode[] = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3};
  img.put(body + kEntry, kEntryCode);
  // mov eax, dword ptr [rip + disp32] zero-extends the 32-bit thunk into rax.
  constexpr std::uint8_t kJump[] = {0x8B, 0x05, 0, 0, 0, 0, 0xFF, 0xE0};
  img.put(body + kAttach, kJump);
  img.put32(body + kAttach + 2, kThunks - (kAttach + 6));

  img.put32(body + kThunks, kRva + kHintName);
  img.put(body + kHintName + 2, kSkinAttachExport);
  img.put(body + kLibrary, kSkinEngineModule);
  img.put32(body + kDescriptors + 12, kRva + kLibrary);
  img.put32(body + kDescriptors + 16, kRva + kThunks);

  img.put32(body + kExports + 12, kRva + kModuleName);
  img.put32(body + kExports + 16, 1);       // ordinal base
  img.put32(body + kExports + 20, 1);       // functions
  img.put32(body + kExports + 24, 1);       // names
  img.put32(body + kExports + 28, kRva + kFunctions);
  img.put32(body + kExports + 32, kRva + kNames);
  img.put32(body + kExports + 36, kRva + kOrdinals);
  img.put32(body + kFunctions, kRva + kAttach);
  img.put32(body + kNames, kRva + kExportName);
  img.put16(body + kOrdinals, 0);
  img.put(body + kModuleName, std::string_view("lumbrin-skin.dll"));
  img.put(body + kExportName, kSkinAttachExport);
  return std::move(img.bytes);
}

}  // namespace lumbrin
