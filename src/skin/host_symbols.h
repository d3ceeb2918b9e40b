#pragma once
// The host symbol table: named host modules and the routines they offer to
// images mapped by MemoryImageLoader, in place of the system's library
// loader. Image thunks hold 32 bits, so every registered routine is reached
// through a small trampoline in a page mapped below 4 GiB; the address the
// table hands out is the trampoline's.
//
// Thread contract: every operation may be called from any thread. Trampolines
// are never unmapped while the table exists, so addresses bound into an image
// stay valid; registering a name again retargets its trampoline atomically.
// The process-wide table lives until the process ends.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace lumbrin {

// The numeric address of a host routine, for registering it.
template <typename Fn>
[[nodiscard]] std::uintptr_t RoutineAddress(Fn* fn) noexcept {
  return reinterpret_cast<std::uintptr_t>(fn);
}

class HostSymbolTable {
public:
  HostSymbolTable();
  ~HostSymbolTable();  // unmaps the trampolines: no image bound to them may run afterwards
  HostSymbolTable(const HostSymbolTable&) = delete;
  HostSymbolTable& operator=(const HostSymbolTable&) = delete;

  [[nodiscard]] static HostSymbolTable& process();

  // Offers `routine` as `symbol` (or as `ordinal`) of `module`, creating the
  // module on first use. Returns the 32-bit-reachable address images bind to,
  // 0 when `routine` is 0 or the table is full.
  std::uintptr_t add(std::string_view module, std::string_view symbol, std::uintptr_t routine);
  std::uintptr_t addOrdinal(std::string_view module, std::uint16_t ordinal, std::uintptr_t routine);

  // The library loader's half: a nonzero handle for a known module (names
  // compared without regard to ASCII letter case, as library names are), else 0.
  [[nodiscard]] std::uintptr_t loadModule(std::string_view name) const;
  // The symbol lookup's half: exact names; 0 when absent or `module` is 0.
  [[nodiscard]] std::uintptr_t findSymbol(std::uintptr_t module, std::string_view symbol) const;
  [[nodiscard]] std::uintptr_t findOrdinal(std::uintptr_t module, std::uint16_t ordinal) const;

private:
  struct Module {
    std::string name;
    std::map<std::string, std::uintptr_t, std::less<>> symbols;  // name -> trampoline
    std::map<std::uint16_t, std::uintptr_t> ordinals;
  };
  std::uintptr_t bind(std::uintptr_t& slot, std::uintptr_t routine);
  Module& moduleNamed(std::string_view name);

  mutable std::mutex mutex_;
  std::vector<Module> modules_;  // handle = index + 1
  std::vector<std::uint8_t*> pages_;
  std::size_t used_ = 0;  // trampolines handed out in the last page
};

}  // namespace lumbrin
