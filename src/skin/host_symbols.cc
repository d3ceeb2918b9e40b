#include "skin/host_symbols.h"

#include <cstring>

#include "base/ascii.h"
#include "skin/low_memory.h"

namespace lumbrin {
namespace {

// jmp qword ptr [rip+2]; int3; int3; then the 8-byte target, naturally
// aligned so it can be retargeted with one atomic store.
constexpr std::size_t kTrampolineSize = 16;
constexpr std::uint8_t kTrampolineCode[8] = {0xFF, 0x25, 0x02, 0x00, 0x00, 0x00, 0xCC, 0xCC};
constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::size_t kPerChunk = kChunkSize / kTrampolineSize;
constexpr std::size_t kMaxChunks = 16;

}  // namespace

HostSymbolTable::HostSymbolTable() = default;

HostSymbolTable::~HostSymbolTable() {
  for (std::uint8_t* page : pages_) detail::UnmapLow(reinterpret_cast<std::uintptr_t>(page), kChunkSize);
}

HostSymbolTable& HostSymbolTable::process() {
  // Never destroyed: images bound to it may run until the very end.
  static auto* table = new HostSymbolTable;
  return *table;
}

HostSymbolTable::Module& HostSymbolTable::moduleNamed(std::string_view name) {
  for (Module& m : modules_) {
    if (EqualsIgnoringAsciiCase(m.name, name)) return m;
  }
  modules_.push_back(Module{std::string(name), {}, {}});
  return modules_.back();
}

std::uintptr_t HostSymbolTable::bind(std::uintptr_t& slot, std::uintptr_t routine) {
  if (slot == 0) {
    if (pages_.empty() || used_ == kPerChunk) {
      if (pages_.size() == kMaxChunks) return 0;
      const std::uintptr_t chunk = detail::MapLow(kChunkSize, 0);
      if (chunk == 0) return 0;
      pages_.push_back(reinterpret_cast<std::uint8_t*>(chunk));
      used_ = 0;
    }
    std::uint8_t* code = pages_.back() + used_ * kTrampolineSize;
    std::memcpy(code, kTrampolineCode, sizeof kTrampolineCode);
    __atomic_store_n(reinterpret_cast<std::uint64_t*>(code + 8), std::uint64_t{routine}, __ATOMIC_RELEASE);
    ++used_;
    slot = reinterpret_cast<std::uintptr_t>(code);
    return slot;
  }
  __atomic_store_n(reinterpret_cast<std::uint64_t*>(slot + 8), std::uint64_t{routine}, __ATOMIC_RELEASE);
  return slot;
}

std::uintptr_t HostSymbolTable::add(std::string_view module, std::string_view symbol, std::uintptr_t routine) {
  if (routine == 0) return 0;
  std::lock_guard lock(mutex_);
  Module& m = moduleNamed(module);
  auto it = m.symbols.find(symbol);
  if (it == m.symbols.end()) it = m.symbols.emplace(std::string(symbol), 0).first;
  const std::uintptr_t at = bind(it->second, routine);
  if (at == 0) m.symbols.erase(it);
  return at;
}

std::uintptr_t HostSymbolTable::addOrdinal(std::string_view module, std::uint16_t ordinal,
                                           std::uintptr_t routine) {
  if (routine == 0) return 0;
  std::lock_guard lock(mutex_);
  Module& m = moduleNamed(module);
  auto it = m.ordinals.try_emplace(ordinal, 0).first;
  const std::uintptr_t at = bind(it->second, routine);
  if (at == 0) m.ordinals.erase(it);
  return at;
}

std::uintptr_t HostSymbolTable::loadModule(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < modules_.size(); ++i) {
    if (EqualsIgnoringAsciiCase(modules_[i].name, name)) return i + 1;
  }
  return 0;
}

std::uintptr_t HostSymbolTable::findSymbol(std::uintptr_t module, std::string_view symbol) const {
  std::lock_guard lock(mutex_);
  if (module == 0 || module > modules_.size()) return 0;
  const auto& symbols = modules_[module - 1].symbols;
  const auto it = symbols.find(symbol);
  return it == symbols.end() ? 0 : it->second;
}

std::uintptr_t HostSymbolTable::findOrdinal(std::uintptr_t module, std::uint16_t ordinal) const {
  std::lock_guard lock(mutex_);
  if (module == 0 || module > modules_.size()) return 0;
  const auto& ordinals = modules_[module - 1].ordinals;
  const auto it = ordinals.find(ordinal);
  return it == ordinals.end() ? 0 : it->second;
}

}  // namespace lumbrin
