#include "skin/memory_image_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "skin/host_symbols.h"
#include "skin/pe_writer.h"

namespace lumbrin {
namespace {

using test::Get32;
using test::kBodyFileOffset;
using test::kBodyRva;
using test::kLfanew;
using test::PeWriter;
using test::Put16;
using test::Put32;
using test::ReadMapped32;
using ::testing::ElementsAre;

bool IsMapped(std::uintptr_t address) {
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return msync(reinterpret_cast<void*>(address & ~(page - 1)), page, MS_ASYNC) == 0;
}

std::size_t FileOffset(std::uint32_t bodyRva) { return bodyRva - kBodyRva + kBodyFileOffset; }

// What the images' entry points report, through an imported host routine.
struct EntryCall {
  std::uintptr_t instance, reason, reserved, base;
  bool operator==(const EntryCall&) const = default;
};
std::vector<EntryCall> gEntryCalls;
std::uintptr_t gAttachResult = 1;

std::uintptr_t RecordEntry(std::uintptr_t instance, std::uintptr_t reason, std::uintptr_t reserved,
                           std::uintptr_t base) {
  gEntryCalls.push_back({instance, reason, reserved, base});
  return reason == 1 ? gAttachResult : 1;
}

std::uintptr_t Twice(std::uintptr_t v) { return 2 * v; }
std::uintptr_t Plus100(std::uintptr_t v) { return v + 100; }

class LoaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    gEntryCalls.clear();
    gAttachResult = 1;
    table_.add("host-test", "RecordEntry", RoutineAddress(&RecordEntry));
    table_.add("host-test", "Twice", RoutineAddress(&Twice));
    table_.addOrdinal("host-test", 7, RoutineAddress(&Plus100));
  }

  // A DLL whose entry point reports to RecordEntry, exporting "Answer" (42).
  PeWriter recordingDll(std::uint32_t base) {
    PeWriter w;
    w.imageBase = base;
    const auto thunks = w.addImport("host-test", {"RecordEntry"});
    w.entryRva = w.addJumpThrough(thunks[0], /*passBase=*/true);
    w.addExport("Answer", w.add(test::ReturnImmediate(42), 16));
    return w;
  }

  HostSymbolTable table_;
};

TEST_F(LoaderTest, RejectsMalformedImagesAndReleasesTheirMemory) {
  constexpr std::uint32_t kBase = 0x31000000;
  struct Case {
    const char* what;
    std::function<void(PeWriter&)> setUp;
    std::function<void(ByteBuffer&, const PeWriter&)> patch;
  };
  const std::vector<Case> cases = {
      {"63 bytes", {}, [](ByteBuffer& b, const PeWriter&) { b.resize(63); }},
      {"no MZ", {}, [](ByteBuffer& b, const PeWriter&) { b[0] = 'X'; }},
      {"e_lfanew past the end", {}, [](ByteBuffer& b, const PeWriter&) { Put32(b, 0x3C, 0xFFFFFFF0u); }},
      {"e_lfanew leaves no room for the NT headers", {},
       [](ByteBuffer& b, const PeWriter&) { Put32(b, 0x3C, static_cast<std::uint32_t>(b.size() - 100)); }},
      {"no PE signature", {}, [](ByteBuffer& b, const PeWriter&) { b[kLfanew + 1] = 'X'; }},
      {"no executable bit", {},
       [](ByteBuffer& b, const PeWriter&) { Put16(b, kLfanew + test::kNtCharacteristics, test::kDllImage); }},
      {"section table past the end", {},
       [](ByteBuffer& b, const PeWriter&) { Put16(b, kLfanew + test::kNtNumberOfSections, 0xFFFF); }},
      {"SectionAlignment 0", {},
       [](ByteBuffer& b, const PeWriter&) { Put32(b, kLfanew + test::kNtSectionAlignment, 0); }},
      {"SizeOfImage 0 and no sections", {},
       [](ByteBuffer& b, const PeWriter&) {
         Put32(b, kLfanew + test::kNtSizeOfImage, 0);
         Put16(b, kLfanew + test::kNtNumberOfSections, 0);
       }},
      {"SizeOfImage absurd", {},
       [](ByteBuffer& b, const PeWriter&) { Put32(b, kLfanew + test::kNtSizeOfImage, 0x20000000); }},
      {"section end absurd", {},
       [](ByteBuffer& b, const PeWriter&) { Put32(b, test::kSectionTable + 12, 0xFFFFF000u); }},
      {"section raw data past the end of the file", {},
       [](ByteBuffer& b, const PeWriter&) { Put32(b, test::kSectionTable + 20, 0xFFFFFF00u); }},
      {"relocation target outside the image", [](PeWriter& w) { w.addHighLowRelocation(0x7FFE); }, {}},
      {"relocation block pointing outside", [](PeWriter& w) { w.addRelocationBlock(0x40000000, {0x3000}); },
       {}},
      {"relocation block smaller than its header", [](PeWriter& w) { w.addRelocationBlock(0x1000, {}); },
       [](ByteBuffer& b, const PeWriter& w) { Put32(b, FileOffset(w.relocationRva) + 4, 0); }},
      {"relocation directory outside the image", [](PeWriter& w) { w.addHighLowRelocation(0x1000); },
       [](ByteBuffer& b, const PeWriter&) { Put32(b, kLfanew + test::kNtDirectories + 40, 0x7FFFFFF0u); }},
      {"thunk array running off the image",
       [](PeWriter& w) {
         w.addImport("host-test", {"#7"});
         // The image's last word is an import with no terminator after it.
         ByteBuffer tail(0x1000, 0x90);
         Put32(tail, 0x1000 - 4, 0x80000007u);
         w.extraSections.push_back({0x8000, 0x1000, tail});
       },
       [](ByteBuffer& b, const PeWriter& w) { Put32(b, FileOffset(w.importDirectoryRva) + 16, 0x9000 - 4); }},
      {"import name outside the image", [](PeWriter& w) { w.addImport("host-test", {"Twice"}); },
       [](ByteBuffer& b, const PeWriter& w) {
         const std::uint32_t thunk = Get32(b, FileOffset(w.importDirectoryRva) + 16);
         Put32(b, FileOffset(thunk), 0x7FFFFFF0u);
       }},
      {"library name not terminated inside the image",
       [](PeWriter& w) {
         w.addImport("host-test", {"Twice"});
         w.extraSections.push_back({0x8000, 0x1000, ByteBuffer(0x1000, 'L')});
       },
       [](ByteBuffer& b, const PeWriter& w) { Put32(b, FileOffset(w.importDirectoryRva) + 12, 0x9000 - 8); }},
      {"missing import", [](PeWriter& w) { w.addImport("host-test", {"NoSuchRoutine"}); }, {}},
      {"missing library", [](PeWriter& w) { w.addImport("no-such-module", {"Twice"}); }, {}},
      {"entry point outside the image", {},
       [](ByteBuffer& b, const PeWriter&) { Put32(b, kLfanew + test::kNtEntryPoint, 0x00100000); }},
  };
  {
    // The image every case starts from is sound.
    PeWriter w;
    w.imageBase = kBase;
    w.entryRva = w.add(test::ReturnImmediate(1), 16);
    MemoryImageLoader loader(&table_);
    ASSERT_TRUE(loader.load(w.build()));
    ASSERT_TRUE(loader.free());
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PeWriter w;
    w.imageBase = kBase;
    w.entryRva = w.add(test::ReturnImmediate(1), 16);
    if (c.setUp) c.setUp(w);
    ByteBuffer image = w.build();
    if (c.patch) c.patch(image, w);
    MemoryImageLoader loader(&table_);
    EXPECT_FALSE(loader.load(image));
    EXPECT_EQ(loader.handle(), 0u);
    EXPECT_EQ(loader.entryPoint(), 0u);
    EXPECT_FALSE(IsMapped(kBase));
  }
}

TEST_F(LoaderTest, EntryPointRefusingAttachIsDetachedAndReleased) {
  constexpr std::uint32_t kBase = 0x32000000;
  gAttachResult = 0;
  PeWriter w = recordingDll(kBase);
  MemoryImageLoader loader(&table_);
  EXPECT_FALSE(loader.load(w.build()));
  EXPECT_EQ(loader.handle(), 0u);
  EXPECT_THAT(gEntryCalls, ElementsAre(EntryCall{0, 1, 0, kBase}, EntryCall{0, 0, 0, kBase}));
  EXPECT_FALSE(IsMapped(kBase));
}

TEST_F(LoaderTest, AttachesDllsButNotExecutablesAndDetachesOnFree) {
  constexpr std::uint32_t kBase = 0x33000000;
  PeWriter dll = recordingDll(kBase);
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(dll.build()));
  EXPECT_EQ(loader.handle(), kBase);
  EXPECT_EQ(loader.entryPoint(), kBase + dll.entryRva);
  EXPECT_THAT(gEntryCalls, ElementsAre(EntryCall{0, 1, 0, kBase}));
  EXPECT_TRUE(loader.free());
  EXPECT_EQ(loader.handle(), 0u);
  EXPECT_THAT(gEntryCalls, ElementsAre(EntryCall{0, 1, 0, kBase}, EntryCall{0, 0, 0, kBase}));
  EXPECT_FALSE(IsMapped(kBase));
  EXPECT_TRUE(loader.free());  // nothing loaded: nothing to do

  gEntryCalls.clear();
  PeWriter exe = recordingDll(kBase);
  exe.characteristics = test::kExecutableImage;
  ASSERT_TRUE(loader.load(exe.build()));
  EXPECT_TRUE(loader.free());
  EXPECT_TRUE(gEntryCalls.empty());

  // A DLL without an entry point has nothing to run.
  PeWriter noEntry;
  noEntry.imageBase = kBase;
  noEntry.add(test::ReturnImmediate(0), 16);
  ASSERT_TRUE(loader.load(noEntry.build()));
  EXPECT_TRUE(loader.free());
}

TEST_F(LoaderTest, LoadingAgainFreesTheFirstImage) {
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(recordingDll(0x34000000).build()));
  ASSERT_TRUE(loader.load(recordingDll(0x35000000).build()));
  EXPECT_EQ(loader.handle(), 0x35000000u);
  EXPECT_THAT(gEntryCalls, ElementsAre(EntryCall{0, 1, 0, 0x34000000}, EntryCall{0, 0, 0, 0x34000000},
                                       EntryCall{0, 1, 0, 0x35000000}));
  EXPECT_FALSE(IsMapped(0x34000000));
  EXPECT_TRUE(loader.free());
}

TEST_F(LoaderTest, FreeWithoutSignaturesFailsAndKeepsTheImage) {
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(recordingDll(0x34000000).build()));
  *reinterpret_cast<char*>(loader.handle()) = 'X';
  EXPECT_FALSE(loader.free());
  EXPECT_EQ(loader.handle(), 0x34000000u);
  EXPECT_EQ(gEntryCalls.size(), 1u);
  EXPECT_TRUE(IsMapped(0x34000000));
  *reinterpret_cast<char*>(loader.handle()) = 'M';
  EXPECT_TRUE(loader.free());
}

TEST_F(LoaderTest, ClonesShareOneImageAndTheDestructorLeavesItMapped) {
  constexpr std::uint32_t kBase = 0x36000000;
  auto loader = std::make_unique<MemoryImageLoader>(&table_);
  ASSERT_TRUE(loader->load(recordingDll(kBase).build()));
  auto copy = loader->clone();
  EXPECT_EQ(copy->handle(), kBase);
  loader.reset();
  EXPECT_TRUE(IsMapped(kBase));
  EXPECT_EQ(gEntryCalls.size(), 1u);
  EXPECT_EQ(CallAddress(copy->getExport("Answer")), 42u);

  auto second = copy->clone();
  EXPECT_TRUE(copy->free());
  // The other holder sees the release and never touches the old memory.
  EXPECT_EQ(second->handle(), 0u);
  EXPECT_EQ(second->getExport("Answer"), 0u);
  EXPECT_TRUE(second->free());
  EXPECT_EQ(gEntryCalls.size(), 2u);
}

TEST_F(LoaderTest, RelocationsMoveEveryHighLowTargetByTheDelta) {
  constexpr std::uint32_t kBase = 0x37000000;
  auto build = [&](PeWriter& w) {
    w.imageBase = kBase;
    w.entryRva = w.add(test::ReturnImmediate(1), 16);
    const std::uint32_t a = w.addWord(kBase + 0x1234);
    const std::uint32_t b = w.addWord(0xFFFFFFF0u);  // wraps at 32 bits
    const std::uint32_t untouched = w.addWord(kBase + 0x10);
    const std::uint32_t dir64 = w.addWord(kBase + 0x20);
    w.addHighLowRelocation(a);
    w.addHighLowRelocation(b);
    // Entries of other types (padding 0, DIR64 10) are skipped.
    w.addRelocationBlock(dir64 & ~0xFFFu, {static_cast<std::uint16_t>(0xA000 | (dir64 & 0xFFF)), 0x0000});
    return std::vector<std::uint32_t>{a, b, untouched, dir64};
  };

  PeWriter atBase;
  const auto rvas = build(atBase);
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(atBase.build()));
  ASSERT_EQ(loader.handle(), kBase);
  EXPECT_EQ(ReadMapped32(kBase + rvas[0]), kBase + 0x1234);
  EXPECT_EQ(ReadMapped32(kBase + rvas[1]), 0xFFFFFFF0u);
  ASSERT_TRUE(loader.free());

  // Occupy the preferred base so the image must go elsewhere.
  void* blocker = mmap(reinterpret_cast<void*>(std::uintptr_t{kBase}), 0x1000, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(blocker, reinterpret_cast<void*>(std::uintptr_t{kBase}));
  PeWriter moved;
  build(moved);
  ASSERT_TRUE(loader.load(moved.build()));
  const std::uintptr_t base = loader.handle();
  ASSERT_NE(base, kBase);
  EXPECT_LT(base, std::uint64_t{1} << 32);
  const auto delta = static_cast<std::uint32_t>(base - kBase);
  EXPECT_EQ(ReadMapped32(base + rvas[0]), kBase + 0x1234 + delta);
  EXPECT_EQ(ReadMapped32(base + rvas[1]), 0xFFFFFFF0u + delta);
  EXPECT_EQ(ReadMapped32(base + rvas[2]), kBase + 0x10);
  EXPECT_EQ(ReadMapped32(base + rvas[3]), kBase + 0x20);
  EXPECT_TRUE(loader.free());
  munmap(blocker, 0x1000);
}

TEST_F(LoaderTest, SectionExtentsUseTheLowBitsOfVirtualSizeAndGrowSizeOfImage) {
  constexpr std::uint32_t kBase = 0x38000000;
  auto image = [&](std::uint32_t relocationRva) {
    PeWriter w;
    w.imageBase = kBase;
    w.entryRva = w.add(test::ReturnImmediate(1), 16);
    w.sizeOfImageOverride = 0x1000;  // smaller than the body: grown by the sections
    w.extraSections.push_back({0x3000, 0x10100, {}});  // extent 0x100, not 0x10100
    w.addHighLowRelocation(relocationRva);
    return w.build();
  };
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(image(0x3FFC)));
  EXPECT_TRUE(IsMapped(kBase + 0x3FFC));
  ASSERT_TRUE(loader.free());
  EXPECT_FALSE(loader.load(image(0x4000)));
}

std::vector<std::string> gResolved;
std::uintptr_t gResolverTwice = 0;  // a trampoline: host code itself lies above 4 GiB

std::uintptr_t TestResolver(const char* library, const char* function, std::uintptr_t value) {
  gResolved.push_back(std::string(library) + "!" + function + "@" + std::to_string(value));
  const std::string name = function;
  if (name == "Twice") return gResolverTwice;
  if (name == "Wide") return std::uintptr_t{1} << 40;
  return 0;  // everything else is left to the host symbol table
}

TEST_F(LoaderTest, ImportsAreBoundThroughTheResolverThenTheSymbolTable) {
  PeWriter w;
  w.imageBase = 0x39000000;
  w.entryRva = w.add(test::ReturnImmediate(1), 16);
  const auto thunks = w.addImport("Host-Test", {"Twice", "#7"});
  w.addExport("CallTwice", w.addJumpThrough(thunks[0]));
  w.addExport("CallPlus100", w.addJumpThrough(thunks[1]));
  const ByteBuffer image = w.build();

  gResolved.clear();
  gResolverTwice = table_.add("resolver-only", "Twice", RoutineAddress(&Twice));
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(image, &TestResolver, 77));
  EXPECT_THAT(gResolved, ElementsAre("Host-Test!Twice@77", "Host-Test!7@77"));
  // The resolver's own answer is bound as is; the ordinal came from the table.
  EXPECT_EQ(ReadMapped32(loader.handle() + thunks[0]), gResolverTwice);
  EXPECT_EQ(CallAddress(loader.getExport("CallTwice"), 21), 42u);
  EXPECT_EQ(CallAddress(loader.getExport("CallPlus100"), 1), 101u);

  // Without a resolver the table answers for both (library name case ignored).
  ASSERT_TRUE(loader.load(image));
  EXPECT_EQ(CallAddress(loader.getExport("CallTwice"), 5), 10u);
  ASSERT_TRUE(loader.free());

  // An address a 32-bit thunk cannot hold fails the load.
  PeWriter wide;
  wide.imageBase = 0x39000000;
  wide.addImport("elsewhere", {"Wide"});
  EXPECT_FALSE(loader.load(wide.build(), &TestResolver));
  EXPECT_FALSE(IsMapped(0x39000000));
}

TEST_F(LoaderTest, ExportsByNameAndOrdinal) {
  PeWriter w;
  w.imageBase = 0x3A000000;
  w.ordinalBase = 1;
  w.entryRva = w.add(test::ReturnImmediate(1), 16);
  w.addExport("SkinH_AttachRes", w.add(test::ReturnImmediate(11), 16));  // ordinal 1
  w.addExport("", w.add(test::ReturnImmediate(22), 16));                 // ordinal 2, no name
  w.addExport("02", w.add(test::ReturnImmediate(33), 16));               // ordinal 3
  w.addExport("Echo", w.add(test::ReturnFirstArgument(), 16));           // ordinal 4
  w.addExport("Tenth", w.add(test::ReturnTenthArgument(), 16));          // ordinal 5
  w.addExport("Outside", 0x00FF0000);                                    // ordinal 6
  MemoryImageLoader loader(&table_);
  EXPECT_EQ(loader.getExport("SkinH_AttachRes"), 0u);  // nothing loaded
  ASSERT_TRUE(loader.load(w.build()));

  const struct {
    const char* name;
    std::uintptr_t result;  // of calling the export; 0: not found
  } cases[] = {
      {"SkinH_AttachRes", 11}, {"skinh_attachres", 0}, {"SkinH_AttachRe", 0}, {"2", 22}, {"02", 33},
      {"1", 11},               {"3", 33},              {"0", 0},              {"7", 0}, {"-1", 0},
      {"+2", 0},               {"", 0},                {"Outside", 0},        {"6", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uintptr_t address = loader.getExport(c.name);
    EXPECT_EQ(address == 0 ? 0 : CallAddress(address), c.result);
  }
  EXPECT_EQ(CallAddress(loader.getExport("Echo"), 0xDEADBEEFCAFEull), 0xDEADBEEFCAFEull);
  EXPECT_EQ(CallAddress(loader.getExport("Tenth"), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10), 10u);
  EXPECT_EQ(CallAddress(0, 1, 2), 0u);
  EXPECT_TRUE(loader.free());
}

TEST_F(LoaderTest, ExportNameNotTerminatedInsideTheImageIsNotFound) {
  PeWriter w;
  w.imageBase = 0x3B000000;
  w.entryRva = w.add(test::ReturnImmediate(1), 16);
  w.addExport("Tail", w.add(test::ReturnImmediate(5), 16));
  // A last section of name bytes with no NUL up to the image's very end.
  w.extraSections.push_back({0x8000, 0x1000, ByteBuffer(0x1000, 'T')});
  ByteBuffer image = w.build();
  MemoryImageLoader loader(&table_);
  ASSERT_TRUE(loader.load(image));
  EXPECT_NE(loader.getExport("Tail"), 0u);
  ASSERT_TRUE(loader.free());

  const std::uint32_t names = Get32(image, FileOffset(w.exportDirectoryRva) + 32);
  Put32(image, FileOffset(names), 0x8000);
  ASSERT_TRUE(loader.load(image));
  EXPECT_EQ(loader.getExport("Tail"), 0u);
  EXPECT_EQ(loader.getExport(std::string(0x1000, 'T')), 0u);
  EXPECT_TRUE(loader.free());
}

}  // namespace
}  // namespace lumbrin
