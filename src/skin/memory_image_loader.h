#pragma once
// Maps a 32-bit library image (PE32) from a byte buffer into this process
// without a file: sections laid out, HIGHLOW relocations applied, imports
// bound through an optional resolver and the host symbol table, the entry
// point called for process attach. Exports are then found by name or by
// decimal ordinal.
//
// The image's code runs natively, so it must be x86-64 code that keeps to the
// System V calling convention; only the container format is 32-bit. The image
// is mapped below 4 GiB so that its 32-bit relocations and thunks hold
// addresses that really reach it.
//
// Every offset in the image is untrusted: a read outside the image, a
// relocation or thunk that would land outside it, or an absurd size fails the
// load (false, handle 0, memory released) instead of touching memory that is
// not the image's.
//
// Thread contract: an object and its clones are used from one thread at a
// time (the GUI thread in the program); there is no lock.

#include <cstdint>
#include <memory>

#include "base/text.h"

namespace lumbrin {

class HostSymbolTable;

// Asked first for every import: (library name, function name or decimal
// ordinal text, resolverValue). Both texts are NUL-terminated and valid for the
// call only. A nonzero result is the import's address; it must lie below
// 4 GiB, since the thunk it is written into holds 32 bits.
using Resolver = std::uintptr_t (*)(const char* libraryName, const char* functionName,
                                    std::uintptr_t resolverValue);

// Whether the loader runs the image's entry point. kSkip exists for code that
// maps images it must not run (the fuzzer): attach and detach are then not
// called and an image counts as having accepted the attach.
enum class EntryCalls { kCall, kSkip };

// Largest image extent accepted; real library images are far smaller.
inline constexpr std::uint32_t kMaxImageSize = 256u * 1024u * 1024u;

class MemoryImageLoader {
public:
  // `symbols` stands in for the system's library loader when imports are
  // bound; null means the process-wide table. It must outlive the object.
  explicit MemoryImageLoader(HostSymbolTable* symbols = nullptr, EntryCalls entryCalls = EntryCalls::kCall);

  // Does nothing to the image: a loaded image stays mapped and attached until
  // the process ends, unless free() is called.
  virtual ~MemoryImageLoader();

  // A new loader referring to the same image. When one of them frees it, all
  // of them are empty afterwards (handle 0), so none can touch released memory.
  [[nodiscard]] virtual std::unique_ptr<MemoryImageLoader> clone() const;

  // Frees what is loaded, then maps `image`. Returns whether an image is
  // loaded afterwards.
  virtual bool load(const ByteBuffer& image, Resolver resolver = nullptr, std::uintptr_t resolverValue = 0);

  // Calls the entry point for detach (DLLs) and unmaps the image. Returns
  // whether nothing is loaded afterwards; an image whose own headers no longer
  // carry both signatures is not released (false).
  virtual bool free();

  // Address of the export named `name` (bytes compared exactly) or, when
  // `name` is a decimal number written without sign or leading zeros, of that
  // ordinal. 0 when not found or nothing is loaded.
  [[nodiscard]] virtual std::uintptr_t getExport(LocalView name) const;

  // handle() + AddressOfEntryPoint, or 0 when nothing is loaded.
  [[nodiscard]] virtual std::uintptr_t entryPoint() const;

  // Base address of the mapped image; 0 when nothing is loaded.
  [[nodiscard]] virtual std::uintptr_t handle() const;

  MemoryImageLoader(const MemoryImageLoader&) = delete;
  MemoryImageLoader& operator=(const MemoryImageLoader&) = delete;

private:
  struct Mapping;
  HostSymbolTable* symbols_;
  EntryCalls entryCalls_;
  std::shared_ptr<Mapping> mapping_;  // shared with clones
};

// Calls the native routine at `address` with up to ten arguments, first value
// first, and returns its result register. A routine taking fewer arguments
// leaves the caller unharmed (the caller owns its stack in this convention).
// Routines returning a 32-bit value define only the low 32 bits of the result.
// An address of 0 is not called; the result is then 0.
std::uintptr_t CallAddress(std::uintptr_t address, std::uintptr_t a1 = 0, std::uintptr_t a2 = 0,
                           std::uintptr_t a3 = 0, std::uintptr_t a4 = 0, std::uintptr_t a5 = 0,
                           std::uintptr_t a6 = 0, std::uintptr_t a7 = 0, std::uintptr_t a8 = 0,
                           std::uintptr_t a9 = 0, std::uintptr_t a10 = 0);

}  // namespace lumbrin
