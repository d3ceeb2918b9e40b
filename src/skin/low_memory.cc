#include "skin/low_memory.h"

#include <sys/mman.h>
#include <unistd.h>

namespace lumbrin::detail {
namespace {

constexpr int kProt = PROT_READ | PROT_WRITE | PROT_EXEC;

std::size_t RoundToPages(std::size_t size) noexcept {
  const std::size_t page = PageSize();
  return (size + page - 1) / page * page;
}

bool FitsBelowLimit(std::uintptr_t address, std::size_t size) noexcept {
  return address != 0 && size <= kLowLimit && std::uint64_t{address} <= kLowLimit - size;
}

}  // namespace

std::size_t PageSize() noexcept {
  static const std::size_t page = [] {
    const long value = sysconf(_SC_PAGESIZE);
    return value > 0 ? static_cast<std::size_t>(value) : std::size_t{4096};
  }();
  return page;
}

std::uintptr_t MapLowAt(std::size_t size, std::uintptr_t address) noexcept {
  if (size == 0) return 0;
  size = RoundToPages(size);
  if (address % PageSize() != 0 || !FitsBelowLimit(address, size)) return 0;
  void* p = mmap(reinterpret_cast<void*>(address), size, kProt,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return 0;
  // Kernels older than 4.17 read the flag as a mere hint.
  if (reinterpret_cast<std::uintptr_t>(p) != address) {
    munmap(p, size);
    return 0;
  }
  return address;
}

std::uintptr_t MapLow(std::size_t size, std::uintptr_t preferred) noexcept {
  if (size == 0 || size > kLowLimit / 2) return 0;
  size = RoundToPages(size);
  if (preferred != 0) {
    if (const std::uintptr_t at = MapLowAt(size, preferred)) return at;
  }
  // The kernel's own choice within the low 2 GiB.
  void* p = mmap(nullptr, size, kProt, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (p != MAP_FAILED) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    if (FitsBelowLimit(at, size)) return at;
    munmap(p, size);
  }
  // Low 2 GiB full (or the flag unsupported): probe the rest below 4 GiB.
  constexpr std::uintptr_t kStep = std::uintptr_t{16} << 20;
  for (std::uintptr_t hint = kStep; FitsBelowLimit(hint, size); hint += kStep) {
    if (const std::uintptr_t at = MapLowAt(size, hint)) return at;
  }
  return 0;
}

void UnmapLow(std::uintptr_t address, std::size_t size) noexcept {
  if (address != 0 && size != 0) munmap(reinterpret_cast<void*>(address), RoundToPages(size));
}

}  // namespace lumbrin::detail
