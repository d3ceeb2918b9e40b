#pragma once
// Builds small PE32 library images for the loader tests. Everything the test
// adds goes into one section at kBodyRva, laid out in the order it is added;
// export, import and relocation tables are written at build(). Code bytes are
// x86-64 routines, so the loader really runs them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace lumbrin::test {

inline constexpr std::uint32_t kBodyRva = 0x1000;
inline constexpr std::uint32_t kBodyFileOffset = 0x400;
inline constexpr std::uint32_t kLfanew = 0x80;

// Offsets inside the NT headers (add kLfanew for the file offset).
inline constexpr std::uint32_t kNtNumberOfSections = 6;
inline constexpr std::uint32_t kNtCharacteristics = 22;
inline constexpr std::uint32_t kNtEntryPoint = 40;
inline constexpr std::uint32_t kNtImageBase = 52;
inline constexpr std::uint32_t kNtSectionAlignment = 56;
inline constexpr std::uint32_t kNtSizeOfImage = 80;
inline constexpr std::uint32_t kNtDirectories = 120;
inline constexpr std::uint32_t kSectionTable = kLfanew + 248;

inline constexpr std::uint16_t kExecutableImage = 0x0002;
inline constexpr std::uint16_t kMachine32Bit = 0x0100;
inline constexpr std::uint16_t kDllImage = 0x2000;

void Put16(ByteBuffer& b, std::size_t offset, std::uint16_t value);
void Put32(ByteBuffer& b, std::size_t offset, std::uint32_t value);
[[nodiscard]] std::uint32_t Get32(const ByteBuffer& b, std::size_t offset);
[[nodiscard]] std::uint32_t ReadMapped32(std::uintptr_t address);

// x86-64 snippets.
[[nodiscard]] ByteBuffer ReturnImmediate(std::uint32_t value);  // mov eax, imm32; ret
[[nodiscard]] ByteBuffer ReturnFirstArgument();                   // mov rax, rdi; ret
[[nodiscard]] ByteBuffer ReturnTenthArgument();                   // mov rax, [rsp+32]; ret

struct ExtraSection {
  std::uint32_t rva = 0;
  std::uint32_t virtualSize = 0;
  ByteBuffer raw;
};

class PeWriter {
public:
  std::uint32_t imageBase = 0x30000000;
  std::uint32_t sectionAlignment = 0x1000;
  std::uint16_t characteristics = kExecutableImage | kMachine32Bit | kDllImage;
  std::uint32_t ordinalBase = 1;
  std::uint32_t entryRva = 0;
  // When nonzero, written as SizeOfImage instead of the body's extent.
  std::uint32_t sizeOfImageOverride = 0;
  std::vector<ExtraSection> extraSections;

  // Appends bytes at the next multiple of `align`; returns their RVA.
  std::uint32_t add(const ByteBuffer& bytes, std::uint32_t align = 4);
  std::uint32_t addText(std::string_view text);  // NUL-terminated
  std::uint32_t addWord(std::uint32_t value);
  [[nodiscard]] std::uint32_t nextRva(std::uint32_t align = 4) const;

  // Code that jumps to the 32-bit address held by the thunk at `thunkRva`.
  // With `passBase` it first puts the image's base into the fourth argument.
  std::uint32_t addJumpThrough(std::uint32_t thunkRva, bool passBase = false);

  // Named exports get ordinals in the order added (ordinalBase first); an
  // empty name adds a function reachable by ordinal only.
  void addExport(std::string name, std::uint32_t rva);

  // One import descriptor; a function written "#7" imports ordinal 7. Returns
  // the RVA of each function's thunk.
  std::vector<std::uint32_t> addImport(std::string_view library, const std::vector<std::string>& functions);

  void addHighLowRelocation(std::uint32_t rva);
  // A relocation block written as given, before the grouped HIGHLOW blocks.
  void addRelocationBlock(std::uint32_t blockRva, std::vector<std::uint16_t> entries);

  [[nodiscard]] ByteBuffer build();

  // Valid after build().
  std::uint32_t exportDirectoryRva = 0;
  std::uint32_t exportNamesRva = 0;  // first name text
  std::uint32_t importDirectoryRva = 0;
  std::uint32_t relocationRva = 0;
  std::uint32_t sizeOfImage = 0;

private:
  struct Export {
    std::string name;
    std::uint32_t rva;
  };
  struct Import {
    std::uint32_t nameRva;
    std::uint32_t thunkRva;
  };
  struct Block {
    std::uint32_t rva;
    std::vector<std::uint16_t> entries;
  };
  ByteBuffer body_;
  std::vector<Export> exports_;
  std::vector<Import> imports_;
  std::vector<std::uint32_t> highLow_;
  std::vector<Block> blocks_;
};

}  // namespace lumbrin::test
