#include "skin/memory_image_loader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "skin/host_symbols.h"
#include "skin/low_memory.h"

namespace lumbrin {
namespace {

// Layout of the headers as read here: the NT headers are always taken as 248
// bytes (signature, file header, PE32 optional header), the section table
// right after them.
constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::uint64_t kLfanewOffset = 0x3C;
constexpr std::uint64_t kNtSize = 248;
constexpr std::uint64_t kSectionSize = 40;
constexpr std::uint64_t kNumberOfSections = 6;
constexpr std::uint64_t kCharacteristics = 22;
constexpr std::uint64_t kAddressOfEntryPoint = 40;
constexpr std::uint64_t kImageBase = 52;
constexpr std::uint64_t kSectionAlignment = 56;
constexpr std::uint64_t kSizeOfImage = 80;
constexpr std::uint64_t kDataDirectories = 120;
constexpr std::uint64_t kExportDirectory = kDataDirectories + 0 * 8;
constexpr std::uint64_t kImportDirectory = kDataDirectories + 1 * 8;
constexpr std::uint64_t kRelocationDirectory = kDataDirectories + 5 * 8;

constexpr std::uint16_t kDosMagic = 0x5A4D;   // "MZ"
constexpr std::uint32_t kNtSignature = 0x4550;  // "PE\0\0"
constexpr std::uint16_t kExecutableImage = 0x0002;
constexpr std::uint16_t kDll = 0x2000;
constexpr unsigned kRelocHighLow = 3;

constexpr std::uint32_t kAttach = 1;
constexpr std::uint32_t kDetach = 0;

// Walk bounds: far above what a real library carries, low enough that a
// crafted image cannot keep the loader busy.
constexpr unsigned kMaxImportDescriptors = 4096;
constexpr unsigned kMaxImportThunks = 65536;
constexpr std::uint64_t kMaxExportNames = 131072;
constexpr std::size_t kMaxNameLength = 4096;

// Bounds-checked little-endian reads over a byte range (the image buffer or
// the mapped image).
struct Bytes {
  const std::uint8_t* data;
  std::uint64_t size;

  [[nodiscard]] bool has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size && length <= size - offset;
  }
  [[nodiscard]] bool u16(std::uint64_t offset, std::uint16_t& out) const {
    if (!has(offset, 2)) return false;
    std::memcpy(&out, data + offset, 2);
    return true;
  }
  [[nodiscard]] bool u32(std::uint64_t offset, std::uint32_t& out) const {
    if (!has(offset, 4)) return false;
    std::memcpy(&out, data + offset, 4);
    return true;
  }
  // A NUL-terminated text that ends inside the range.
  [[nodiscard]] bool text(std::uint64_t offset, std::string_view& out, std::size_t limit = SIZE_MAX) const {
    if (offset >= size) return false;
    const std::uint64_t room = std::min<std::uint64_t>(size - offset, limit);
    const void* nul = std::memchr(data + offset, 0, static_cast<std::size_t>(room));
    if (nul == nullptr) return false;
    out = std::string_view(reinterpret_cast<const char*>(data + offset),
                           static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (data + offset)));
    return true;
  }
};

struct Headers {
  std::uint64_t nt = 0;            // e_lfanew
  std::uint64_t headerBytes = 0;   // DOS header, stub, NT headers and section table
  std::uint16_t sections = 0;
  std::uint16_t characteristics = 0;
};

// The DOS and NT signatures and the section table's place, from `b`.
bool ReadHeaders(const Bytes& b, Headers& h) {
  std::uint16_t magic = 0;
  std::uint32_t lfanew = 0;
  std::uint32_t signature = 0;
  if (b.size < kDosHeaderSize || !b.u16(0, magic) || magic != kDosMagic) return false;
  if (!b.u32(kLfanewOffset, lfanew) || !b.has(lfanew, kNtSize)) return false;
  h.nt = lfanew;
  if (!b.u32(h.nt, signature) || signature != kNtSignature) return false;
  if (!b.u16(h.nt + kCharacteristics, h.characteristics) || !b.u16(h.nt + kNumberOfSections, h.sections)) {
    return false;
  }
  h.headerBytes = h.nt + kNtSize + kSectionSize * h.sections;
  return true;
}

std::uint32_t Field32(const Bytes& b, std::uint64_t offset) {
  std::uint32_t v = 0;
  return b.u32(offset, v) ? v : 0;
}

void Write32(std::uintptr_t base, std::uint64_t offset, std::uint32_t value) {
  std::memcpy(reinterpret_cast<void*>(base + offset), &value, 4);
}

// Sign-free decimal without leading zeros that fits 32 bits: "2" is an
// ordinal, "02" and "+2" are names. A leading "-" reads as a number too, so
// "-1" is an ordinal that no table holds.
bool ReadOrdinal(LocalView name, std::int64_t& out) {
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (ec != std::errc() || end != name.data() + name.size()) return false;
  if (std::to_string(value) != name) return false;
  out = value;
  return true;
}

}  // namespace

struct MemoryImageLoader::Mapping {
  std::uintptr_t base = 0;
  std::uint64_t extent = 0;  // bytes of the image that may be read and written
  bool released = false;

  [[nodiscard]] Bytes bytes() const { return Bytes{reinterpret_cast<const std::uint8_t*>(base), extent}; }
  void release() {
    detail::UnmapLow(base, static_cast<std::size_t>(extent));
    released = true;
  }
};

namespace {

bool ApplyRelocations(std::uintptr_t base, const Bytes& m, std::uint32_t start, std::uint32_t delta) {
  std::uint64_t cursor = start;
  for (;;) {
    std::uint32_t blockRva = 0;
    std::uint32_t blockSize = 0;
    if (!m.u32(cursor, blockRva) || !m.u32(cursor + 4, blockSize)) return false;
    if (blockRva == 0) return true;
    // A block smaller than its own header would never move the walk on.
    if (blockSize < 8) return false;
    const std::uint64_t entries = (blockSize - 8) / 2;
    if (!m.has(cursor + 8, entries * 2)) return false;
    for (std::uint64_t i = 0; i < entries; ++i) {
      std::uint16_t entry = 0;
      if (!m.u16(cursor + 8 + 2 * i, entry)) return false;
      if ((entry >> 12) != kRelocHighLow) continue;
      const std::uint64_t target = std::uint64_t{blockRva} + (entry & 0x0FFFu);
      std::uint32_t value = 0;
      if (!m.u32(target, value)) return false;
      Write32(base, target, value + delta);
    }
    cursor += blockSize;  // strictly forward, so the walk ends within the image
  }
}

bool BindImports(std::uintptr_t base, const Bytes& m, std::uint32_t start, HostSymbolTable& symbols,
                 Resolver resolver, std::uintptr_t resolverValue) {
  std::uint64_t descriptor = start;
  unsigned thunks = 0;
  for (unsigned d = 0;; ++d, descriptor += 20) {
    if (d == kMaxImportDescriptors || !m.has(descriptor, 20)) return false;
    const std::uint32_t firstThunk = Field32(m, descriptor + 16);
    if (firstThunk == 0) return true;
    std::string_view nameView;
    if (!m.text(Field32(m, descriptor + 12), nameView, kMaxNameLength)) return false;
    // Copied: a thunk written below may overlap the name in the image.
    const std::string library(nameView);
    const std::uintptr_t module = symbols.loadModule(library);

    for (std::uint64_t thunk = firstThunk;; thunk += 4) {
      std::uint32_t value = 0;
      if (!m.u32(thunk, value)) return false;
      if (value == 0) break;
      if (++thunks > kMaxImportThunks) return false;

      const bool byOrdinal = (value & 0x80000000u) != 0;
      const auto ordinal = static_cast<std::uint16_t>(value & 0xFFFFu);
      std::string function;
      if (byOrdinal) {
        function = std::to_string(ordinal);
      } else {
        std::string_view fn;
        if (!m.text(std::uint64_t{value} + 2, fn, kMaxNameLength)) return false;
        function.assign(fn);
      }
      std::uintptr_t address = 0;
      if (resolver != nullptr) address = resolver(library.c_str(), function.c_str(), resolverValue);
      if (address == 0) {
        address = byOrdinal ? symbols.findOrdinal(module, ordinal) : symbols.findSymbol(module, function);
      }
      // The thunk holds 32 bits; a wider address would be cut into a wild one.
      if (address == 0 || address >= detail::kLowLimit) return false;
      Write32(base, thunk, static_cast<std::uint32_t>(address));
    }
  }
}

// The entry point's address when the image has one that lies inside it.
std::uintptr_t EntryAddress(const Bytes& m, std::uintptr_t base, std::uint32_t entryRva) {
  if (entryRva == 0 || entryRva >= m.size) return 0;
  return base + entryRva;
}

}  // namespace

MemoryImageLoader::MemoryImageLoader(HostSymbolTable* symbols, EntryCalls entryCalls)
    : symbols_(symbols != nullptr ? symbols : &HostSymbolTable::process()), entryCalls_(entryCalls) {}

MemoryImageLoader::~MemoryImageLoader() = default;

std::unique_ptr<MemoryImageLoader> MemoryImageLoader::clone() const {
  auto copy = std::make_unique<MemoryImageLoader>(symbols_, entryCalls_);
  copy->mapping_ = mapping_;
  return copy;
}

std::uintptr_t MemoryImageLoader::handle() const {
  return mapping_ && !mapping_->released ? mapping_->base : 0;
}

bool MemoryImageLoader::load(const ByteBuffer& image, Resolver resolver, std::uintptr_t resolverValue) {
  if (handle() != 0) free();
  mapping_.reset();

  const Bytes file{image.data(), image.size()};
  Headers h;
  if (!ReadHeaders(file, h) || (h.characteristics & kExecutableImage) == 0) return false;
  if (!file.has(0, h.headerBytes)) return false;

  const std::uint32_t imageBase = Field32(file, h.nt + kImageBase);
  const std::uint32_t alignment = Field32(file, h.nt + kSectionAlignment);
  if (alignment == 0) return false;
  std::uint64_t sizeOfImage = Field32(file, h.nt + kSizeOfImage);
  for (std::uint16_t i = 0; i < h.sections; ++i) {
    const std::uint64_t s = h.nt + kNtSize + kSectionSize * i;
    const std::uint32_t virtualSize = Field32(file, s + 8) & 0xFFFFu;
    const std::uint32_t rva = Field32(file, s + 12);
    const std::uint32_t rawSize = Field32(file, s + 16);
    const std::uint32_t rawOffset = Field32(file, s + 20);
    const std::uint64_t size = std::max(rawSize, virtualSize);
    const std::uint64_t end = (rva + size + alignment - 1) / alignment * alignment;
    sizeOfImage = std::max(sizeOfImage, end);
    if (rawSize >= 1 && rva != 0 && !file.has(rawOffset, rawSize)) return false;
  }
  if (sizeOfImage == 0 || sizeOfImage > kMaxImageSize) return false;
  // Headers are copied whatever SizeOfImage says, so the mapping holds them too.
  const std::uint64_t extent = std::max(sizeOfImage, h.headerBytes);
  if (extent > kMaxImageSize) return false;

  auto mapping = std::make_shared<Mapping>();
  mapping->base = detail::MapLow(static_cast<std::size_t>(extent), imageBase);
  if (mapping->base == 0) return false;
  mapping->extent = extent;
  const std::uintptr_t base = mapping->base;

  std::memcpy(reinterpret_cast<void*>(base), image.data(), static_cast<std::size_t>(h.headerBytes));
  for (std::uint16_t i = 0; i < h.sections; ++i) {
    const std::uint64_t s = h.nt + kNtSize + kSectionSize * i;
    const std::uint32_t rva = Field32(file, s + 12);
    const std::uint32_t rawSize = Field32(file, s + 16);
    if (rawSize >= 1 && rva != 0) {
      std::memcpy(reinterpret_cast<void*>(base + rva), image.data() + Field32(file, s + 20), rawSize);
    }
  }

  const Bytes m = mapping->bytes();
  if (Field32(file, h.nt + kRelocationDirectory + 4) > 0) {
    const auto delta = static_cast<std::uint32_t>(base - imageBase);
    if (!ApplyRelocations(base, m, Field32(file, h.nt + kRelocationDirectory), delta)) {
      mapping->release();
      return false;
    }
  }
  if (const std::uint32_t imports = Field32(file, h.nt + kImportDirectory); imports >= 1) {
    if (!BindImports(base, m, imports, *symbols_, resolver, resolverValue)) {
      mapping->release();
      return false;
    }
  }
  if ((h.characteristics & kDll) != 0 && entryCalls_ == EntryCalls::kCall) {
    const std::uint32_t entryRva = Field32(file, h.nt + kAddressOfEntryPoint);
    // An entry point outside the image cannot be code of the image. A DLL
    // without one (0) has nothing to run, as the system loader treats it.
    if (entryRva >= extent) {
      mapping->release();
      return false;
    }
    if (const std::uintptr_t entry = EntryAddress(m, base, entryRva); entry != 0) {
      if (static_cast<std::uint32_t>(CallAddress(entry, 0, kAttach, 0)) == 0) {
        CallAddress(entry, 0, kDetach, 0);
        mapping->release();
        return false;
      }
    }
  }
  mapping_ = std::move(mapping);
  return true;
}

bool MemoryImageLoader::free() {
  if (handle() == 0) {
    mapping_.reset();
    return true;
  }
  // The image's own headers decide, as they lie in memory now.
  const Bytes m = mapping_->bytes();
  Headers h;
  if (!ReadHeaders(m, h)) return false;
  if ((h.characteristics & kDll) != 0 && entryCalls_ == EntryCalls::kCall) {
    const std::uintptr_t entry = EntryAddress(m, mapping_->base, Field32(m, h.nt + kAddressOfEntryPoint));
    if (entry != 0) CallAddress(entry, 0, kDetach, 0);
  }
  mapping_->release();
  mapping_.reset();
  return true;
}

std::uintptr_t MemoryImageLoader::entryPoint() const {
  const std::uintptr_t base = handle();
  if (base == 0) return 0;
  const Bytes m = mapping_->bytes();
  Headers h;
  if (!ReadHeaders(m, h)) return 0;
  return base + Field32(m, h.nt + kAddressOfEntryPoint);
}

std::uintptr_t MemoryImageLoader::getExport(LocalView name) const {
  const std::uintptr_t base = handle();
  if (base == 0) return 0;
  const Bytes m = mapping_->bytes();
  Headers h;
  if (!ReadHeaders(m, h)) return 0;
  const std::uint32_t directory = Field32(m, h.nt + kExportDirectory);
  if (Field32(m, h.nt + kExportDirectory + 4) == 0 || !m.has(directory, 40)) return 0;

  const std::int64_t ordinalBase = Field32(m, directory + 16);
  const std::uint32_t functionCount = Field32(m, directory + 20);
  const std::uint32_t nameCount = Field32(m, directory + 24);
  const std::uint64_t functions = Field32(m, directory + 28);
  const std::uint64_t names = Field32(m, directory + 32);
  const std::uint64_t nameOrdinals = Field32(m, directory + 36);

  // An address that leads outside the image is no export of it.
  auto functionAt = [&](std::uint64_t index) -> std::uintptr_t {
    std::uint32_t rva = 0;
    if (!m.u32(functions + 4 * index, rva) || rva == 0 || rva >= m.size) return 0;
    return base + rva;
  };

  if (std::int64_t ordinal = 0; ReadOrdinal(name, ordinal)) {
    const std::int64_t index = ordinal - ordinalBase;
    if (index < 0 || index >= functionCount) return 0;
    return functionAt(static_cast<std::uint64_t>(index));
  }

  // Names are read back to back from the first one, as linkers store them.
  std::uint32_t first = 0;
  if (!m.u32(names, first)) return 0;
  std::uint64_t current = first;
  const std::uint64_t count = std::min<std::uint64_t>(nameCount, kMaxExportNames);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string_view text;
    std::uint16_t ordinal = 0;
    if (!m.text(current, text) || !m.u16(nameOrdinals + 2 * i, ordinal)) return 0;
    if (ordinal < functionCount && text == name) {
      if (const std::uintptr_t address = functionAt(ordinal); address != 0) return address;
    }
    current += text.size() + 1;
  }
  return 0;
}

std::uintptr_t CallAddress(std::uintptr_t address, std::uintptr_t a1, std::uintptr_t a2, std::uintptr_t a3,
                           std::uintptr_t a4, std::uintptr_t a5, std::uintptr_t a6, std::uintptr_t a7,
                           std::uintptr_t a8, std::uintptr_t a9, std::uintptr_t a10) {
  if (address == 0) return 0;
  using Routine = std::uintptr_t (*)(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t,
                                     std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t,
                                     std::uintptr_t, std::uintptr_t);
  return reinterpret_cast<Routine>(address)(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10);
}

}  // namespace lumbrin
