#include "skin/pe_writer.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace lumbrin::test {
namespace {

std::uint32_t AlignUp(std::uint32_t value, std::uint32_t align) { return (value + align - 1) / align * align; }

// resize + memcpy: GCC 12 warns falsely on vector::insert of a range here.
void AppendBytes(ByteBuffer& to, const ByteBuffer& from) {
  const std::size_t at = to.size();
  to.resize(at + from.size());
  if (!from.empty()) std::memcpy(to.data() + at, from.data(), from.size());
}

void Append32(ByteBuffer& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

void Put16(ByteBuffer& b, std::size_t offset, std::uint16_t value) {
  if (b.size() < offset + 2) b.resize(offset + 2);
  std::memcpy(b.data() + offset, &value, 2);
}

void Put32(ByteBuffer& b, std::size_t offset, std::uint32_t value) {
  if (b.size() < offset + 4) b.resize(offset + 4);
  std::memcpy(b.data() + offset, &value, 4);
}

std::uint32_t Get32(const ByteBuffer& b, std::size_t offset) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.data() + offset, 4);
  return v;
}

std::uint32_t ReadMapped32(std::uintptr_t address) {
  std::uint32_t v = 0;
  std::memcpy(&v, reinterpret_cast<const void*>(address), 4);
  return v;
}

ByteBuffer ReturnImmediate(std::uint32_t value) {
  ByteBuffer code{0xB8};
  Append32(code, value);
  code.push_back(0xC3);
  return code;
}

ByteBuffer ReturnFirstArgument() { return {0x48, 0x89, 0xF8, 0xC3}; }

ByteBuffer ReturnTenthArgument() { return {0x48, 0x8B, 0x44, 0x24, 0x20, 0xC3}; }

std::uint32_t PeWriter::nextRva(std::uint32_t align) const {
  return kBodyRva + AlignUp(static_cast<std::uint32_t>(body_.size()), align);
}

std::uint32_t PeWriter::add(const ByteBuffer& bytes, std::uint32_t align) {
  body_.resize(AlignUp(static_cast<std::uint32_t>(body_.size()), align), 0);
  const auto rva = kBodyRva + static_cast<std::uint32_t>(body_.size());
  AppendBytes(body_, bytes);
  return rva;
}

std::uint32_t PeWriter::addText(std::string_view text) {
  ByteBuffer bytes(text.begin(), text.end());
  bytes.push_back(0);
  return add(bytes, 1);
}

std::uint32_t PeWriter::addWord(std::uint32_t value) {
  ByteBuffer bytes;
  Append32(bytes, value);
  return add(bytes, 4);
}

std::uint32_t PeWriter::addJumpThrough(std::uint32_t thunkRva, bool passBase) {
  const std::uint32_t at = nextRva(16);
  ByteBuffer code;
  std::uint32_t next = at;
  if (passBase) {
    // lea rcx, [rip - (rva of the next instruction)]  -> rcx = image base
    next += 7;
    code.insert(code.end(), {0x48, 0x8D, 0x0D});
    Append32(code, static_cast<std::uint32_t>(0u - next));
  }
  // mov eax, dword ptr [rip + disp]; jmp rax
  next += 6;
  code.insert(code.end(), {0x8B, 0x05});
  Append32(code, thunkRva - next);
  code.insert(code.end(), {0xFF, 0xE0});
  return add(code, 16);
}

void PeWriter::addExport(std::string name, std::uint32_t rva) { exports_.push_back({std::move(name), rva}); }

std::vector<std::uint32_t> PeWriter::addImport(std::string_view library,
                                               const std::vector<std::string>& functions) {
  const std::uint32_t nameRva = addText(library);
  std::vector<std::uint32_t> values;
  for (const auto& f : functions) {
    if (!f.empty() && f[0] == '#') {
      values.push_back(0x80000000u | static_cast<std::uint32_t>(std::stoul(f.substr(1))));
    } else {
      ByteBuffer hintName{0, 0};
      hintName.insert(hintName.end(), f.begin(), f.end());
      hintName.push_back(0);
      values.push_back(add(hintName, 2));
    }
  }
  std::vector<std::uint32_t> thunks;
  const std::uint32_t first = nextRva(4);
  for (std::uint32_t v : values) thunks.push_back(addWord(v));
  addWord(0);
  imports_.push_back({nameRva, first});
  return thunks;
}

void PeWriter::addHighLowRelocation(std::uint32_t rva) { highLow_.push_back(rva); }

void PeWriter::addRelocationBlock(std::uint32_t blockRva, std::vector<std::uint16_t> entries) {
  blocks_.push_back({blockRva, std::move(entries)});
}

ByteBuffer PeWriter::build() {
  ByteBuffer directory;
  std::uint32_t exportSize = 0;
  if (!exports_.empty()) {
    exportDirectoryRva = add(ByteBuffer(40, 0), 4);
    std::vector<std::uint32_t> functionRvas;
    std::vector<std::uint16_t> nameOrdinals;
    for (std::size_t i = 0; i < exports_.size(); ++i) {
      functionRvas.push_back(exports_[i].rva);
      if (!exports_[i].name.empty()) nameOrdinals.push_back(static_cast<std::uint16_t>(i));
    }
    ByteBuffer table;
    for (auto f : functionRvas) Append32(table, f);
    const std::uint32_t functions = add(table, 4);
    const std::uint32_t namePointers = add(ByteBuffer(4 * nameOrdinals.size(), 0), 4);
    ByteBuffer ords;
    for (auto o : nameOrdinals) {
      ords.push_back(static_cast<std::uint8_t>(o));
      ords.push_back(static_cast<std::uint8_t>(o >> 8));
    }
    const std::uint32_t ordinals = add(ords, 2);
    const std::uint32_t moduleName = addText("test.dll");
    for (std::size_t i = 0; i < nameOrdinals.size(); ++i) {
      const std::uint32_t rva = addText(exports_[nameOrdinals[i]].name);
      if (i == 0) exportNamesRva = rva;
      Put32(body_, namePointers - kBodyRva + 4 * i, rva);
    }
    const std::uint32_t d = exportDirectoryRva - kBodyRva;
    Put32(body_, d + 12, moduleName);
    Put32(body_, d + 16, ordinalBase);
    Put32(body_, d + 20, static_cast<std::uint32_t>(functionRvas.size()));
    Put32(body_, d + 24, static_cast<std::uint32_t>(nameOrdinals.size()));
    Put32(body_, d + 28, functions);
    Put32(body_, d + 32, namePointers);
    Put32(body_, d + 36, ordinals);
    exportSize = nextRva(1) - exportDirectoryRva;
  }
  std::uint32_t importSize = 0;
  if (!imports_.empty()) {
    ByteBuffer descriptors;
    for (const auto& imp : imports_) {
      Append32(descriptors, 0);
      Append32(descriptors, 0);
      Append32(descriptors, 0);
      Append32(descriptors, imp.nameRva);
      Append32(descriptors, imp.thunkRva);
    }
    descriptors.resize(descriptors.size() + 20, 0);
    importDirectoryRva = add(descriptors, 4);
    importSize = static_cast<std::uint32_t>(descriptors.size());
  }
  std::uint32_t relocationSize = 0;
  if (!blocks_.empty() || !highLow_.empty()) {
    std::vector<Block> blocks = blocks_;
    std::map<std::uint32_t, std::vector<std::uint16_t>> pages;
    for (auto rva : highLow_) pages[rva & ~0xFFFu].push_back(static_cast<std::uint16_t>(0x3000 | (rva & 0xFFF)));
    for (auto& [page, entries] : pages) blocks.push_back({page, entries});
    ByteBuffer relocs;
    for (const auto& b : blocks) {
      Append32(relocs, b.rva);
      Append32(relocs, static_cast<std::uint32_t>(8 + 2 * b.entries.size()));
      for (auto e : b.entries) {
        relocs.push_back(static_cast<std::uint8_t>(e));
        relocs.push_back(static_cast<std::uint8_t>(e >> 8));
      }
    }
    relocs.resize(relocs.size() + 8, 0);
    relocationRva = add(relocs, 4);
    relocationSize = static_cast<std::uint32_t>(relocs.size());
  }

  const auto bodySize = static_cast<std::uint32_t>(body_.size());
  std::uint32_t extent = AlignUp(kBodyRva + std::max<std::uint32_t>(bodySize, 1), sectionAlignment);
  for (const auto& s : extraSections) {
    extent = std::max(extent, AlignUp(s.rva + std::max<std::uint32_t>(
                                                  s.virtualSize, static_cast<std::uint32_t>(s.raw.size())),
                                      sectionAlignment));
  }
  sizeOfImage = sizeOfImageOverride != 0 ? sizeOfImageOverride : extent;

  ByteBuffer image(kBodyFileOffset, 0);
  AppendBytes(image, body_);
  Put16(image, 0, 0x5A4D);
  Put32(image, 0x3C, kLfanew);
  const std::size_t nt = kLfanew;
  Put32(image, nt, 0x4550);
  Put16(image, nt + 4, 0x014C);
  Put16(image, nt + kNtNumberOfSections, static_cast<std::uint16_t>(1 + extraSections.size()));
  Put16(image, nt + 20, 224);
  Put16(image, nt + kNtCharacteristics, characteristics);
  Put16(image, nt + 24, 0x010B);
  Put32(image, nt + kNtEntryPoint, entryRva);
  Put32(image, nt + kNtImageBase, imageBase);
  Put32(image, nt + kNtSectionAlignment, sectionAlignment);
  Put32(image, nt + 60, 0x200);
  Put32(image, nt + kNtSizeOfImage, sizeOfImage);
  Put32(image, nt + 84, kBodyFileOffset);
  Put32(image, nt + 116, 16);
  Put32(image, nt + kNtDirectories + 0, exportDirectoryRva);
  Put32(image, nt + kNtDirectories + 4, exportSize);
  Put32(image, nt + kNtDirectories + 8, importDirectoryRva);
  Put32(image, nt + kNtDirectories + 12, importSize);
  Put32(image, nt + kNtDirectories + 40, relocationRva);
  Put32(image, nt + kNtDirectories + 44, relocationSize);

  auto writeSection = [&](std::size_t index, const char* name, std::uint32_t virtualSize, std::uint32_t rva,
                          std::uint32_t rawSize, std::uint32_t rawOffset) {
    const std::size_t s = kSectionTable + 40 * index;
    std::memcpy(image.data() + s, name, std::min<std::size_t>(std::strlen(name), 8));
    Put32(image, s + 8, virtualSize);
    Put32(image, s + 12, rva);
    Put32(image, s + 16, rawSize);
    Put32(image, s + 20, rawOffset);
    Put32(image, s + 36, 0xE0000020);  // code, readable, writable, executable
  };
  writeSection(0, ".text", bodySize, kBodyRva, bodySize, kBodyFileOffset);
  for (std::size_t i = 0; i < extraSections.size(); ++i) {
    const auto& s = extraSections[i];
    const auto rawOffset = static_cast<std::uint32_t>(image.size());
    AppendBytes(image, s.raw);
    writeSection(1 + i, ".data", s.virtualSize, s.rva, static_cast<std::uint32_t>(s.raw.size()),
                 s.raw.empty() ? 0 : rawOffset);
  }
  return image;
}

}  // namespace lumbrin::test
