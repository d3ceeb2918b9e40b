#include "skin/skin_attach.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "skin/host_symbols.h"
#include "skin/pe_writer.h"
#include "skin/skin_blobs.h"
#include "skin/skin_engine.h"

namespace lumbrin {
namespace {

ByteBuffer Bytes(std::span<const std::uint8_t> s) { return ByteBuffer(s.begin(), s.end()); }

// What SkinH_AttachRes received, seen through a host routine that stands in
// for the engine's own.
struct Received {
  std::uintptr_t data = 0;
  std::uintptr_t size = 0;
  ByteBuffer bytes;
  std::optional<std::string> text;
  std::uintptr_t value1 = 0, value2 = 0, value3 = 0;
};
std::vector<Received> gReceived;

std::uintptr_t RecordAttach(std::uintptr_t data, std::uintptr_t size, std::uintptr_t text, std::uintptr_t v1,
                            std::uintptr_t v2, std::uintptr_t v3) {
  Received r{data, size, {}, std::nullopt, v1, v2, v3};
  if (data != 0) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data);
    r.bytes.assign(p, p + size);
  }
  if (text != 0) r.text = std::string(reinterpret_cast<const char*>(text));
  gReceived.push_back(std::move(r));
  return 7;
}

class AttachTest : public ::testing::Test {
protected:
  void SetUp() override {
    gReceived.clear();
    table_.add(kSkinEngineModule, kSkinAttachExport, RoutineAddress(&RecordAttach));
    state_.skinLoader = std::make_unique<MemoryImageLoader>(&table_);
    ASSERT_TRUE(state_.skinLoader->load(BuildSkinEngineImage()));
  }
  void TearDown() override {
    if (state_.skinLoader) {
      EXPECT_TRUE(state_.skinLoader->free());
    }
  }

  HostSymbolTable table_;
  SkinState state_;
};

TEST_F(AttachTest, VariantOneOrTheOtherBlobReachesTheEngine) {
  const ByteBuffer first = Bytes(BuiltInSkin(2, 1));
  const ByteBuffer other = Bytes(BuiltInSkin(2, 2));
  ASSERT_NE(first, other);
  const struct {
    std::int32_t variant;
    const ByteBuffer& expected;
  } cases[] = {{1, first}, {2, other}, {0, other}, {-1, other}, {3, other}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variant);
    gReceived.clear();
    EXPECT_EQ(AttachBuiltInSkin(state_, 2, 0x1234, c.variant), 7);
    ASSERT_EQ(gReceived.size(), 1u);
    const Received& r = gReceived[0];
    EXPECT_EQ(r.data, reinterpret_cast<std::uintptr_t>(state_.skinData.data()));
    EXPECT_EQ(r.size, c.expected.size());
    EXPECT_EQ(r.bytes, c.expected);
    EXPECT_EQ(state_.skinData, c.expected);
    EXPECT_FALSE(r.text.has_value());
    EXPECT_EQ(r.value1 | r.value2 | r.value3, 0u);
  }
  // The window's own call: skin 2, variant 1, everything else omitted.
  gReceived.clear();
  AttachBuiltInSkin(state_, 2, 0, 1);
  EXPECT_EQ(gReceived.at(0).bytes, first);
}

TEST_F(AttachTest, SkinsOutsideTheRangeKeepTheLastChoice) {
  // Before any choice: an empty buffer, address 0 and size 0.
  EXPECT_EQ(AttachBuiltInSkin(state_, 7, 0), 7);
  ASSERT_EQ(gReceived.size(), 1u);
  EXPECT_EQ(gReceived[0].data, 0u);
  EXPECT_EQ(gReceived[0].size, 0u);

  AttachBuiltInSkin(state_, 3, 0, 1);
  AttachBuiltInSkin(state_, 1, 0, 1);
  EXPECT_EQ(state_.skinData, Bytes(BuiltInSkin(1, 1)));
  AttachBuiltInSkin(state_, 0, 0, 1);
  AttachBuiltInSkin(state_, -5, 0, 2);
  ASSERT_EQ(gReceived.size(), 5u);
  for (std::size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(gReceived[i].bytes, Bytes(BuiltInSkin(1, 1)));
  }
  EXPECT_EQ(state_.skinData, Bytes(BuiltInSkin(1, 1)));
}

TEST_F(AttachTest, TextAndValuesArePassedOn) {
  AttachBuiltInSkin(state_, 4, 0, 1, "dark", 1, -1, 0x7FFFFFFF);
  ASSERT_EQ(gReceived.size(), 1u);
  EXPECT_EQ(gReceived[0].text, "dark");
  EXPECT_EQ(gReceived[0].value1, 1u);
  EXPECT_EQ(gReceived[0].value2, 0xFFFFFFFFu);
  EXPECT_EQ(gReceived[0].value3, 0x7FFFFFFFu);
}

TEST_F(AttachTest, NothingIsCalledWithoutTheExport) {
  SkinState noLoader;
  EXPECT_EQ(AttachBuiltInSkin(noLoader, 2, 0, 1), 0);
  EXPECT_EQ(noLoader.skinData, Bytes(BuiltInSkin(2, 1)));

  SkinState empty;
  empty.skinLoader = std::make_unique<MemoryImageLoader>(&table_);
  EXPECT_EQ(AttachBuiltInSkin(empty, 2, 0, 1), 0);

  SkinState other;
  other.skinLoader = std::make_unique<MemoryImageLoader>(&table_);
  test::PeWriter w;
  w.addExport("SkinH_AttachResource", w.add(test::ReturnImmediate(9), 16));
  ASSERT_TRUE(other.skinLoader->load(w.build()));
  EXPECT_EQ(AttachBuiltInSkin(other, 2, 0, 1), 0);
  EXPECT_TRUE(other.skinLoader->free());
  EXPECT_TRUE(gReceived.empty());
}

TEST_F(AttachTest, ReleaseFreesTheDataAndTheLoaderButLeavesTheEngineMapped) {
  AttachBuiltInSkin(state_, 2, 0, 1);
  const std::uintptr_t engine = state_.skinLoader->handle();
  auto keep = state_.skinLoader->clone();
  ReleaseSkinState(state_);
  EXPECT_TRUE(state_.skinData.empty());
  EXPECT_EQ(state_.skinLoader, nullptr);
  EXPECT_EQ(keep->handle(), engine);
  EXPECT_EQ(CallAddress(keep->getExport(kSkinAttachExport)), 7u);  // still callable
  EXPECT_EQ(AttachBuiltInSkin(state_, 2, 0, 1), 0);
  EXPECT_TRUE(keep->free());
}

TEST(SkinEngine, AppliesTheStyleSheetOfWellFormedBlobsOnly) {
  HostSymbolTable table;
  SkinState state;
  ASSERT_TRUE(StartSkinEngine(state, &table));
  std::vector<std::string> applied;
  SetSkinStyleApplier([&](std::string_view sheet) {
    applied.emplace_back(sheet);
    return true;
  });

  EXPECT_EQ(AttachBuiltInSkin(state, 7, 0, 1), 0);  // nothing chosen yet
  EXPECT_EQ(AttachBuiltInSkin(state, 2, 0, 1), 1);
  ASSERT_EQ(applied.size(), 1u);
  EXPECT_EQ(applied[0], *SkinStyleSheet(BuiltInSkin(2, 1)));

  const ByteBuffer blob = Bytes(BuiltInSkin(5, 2));
  EXPECT_EQ(SkinEngineAttach(reinterpret_cast<std::uintptr_t>(blob.data()), blob.size(), 0, 0, 0, 0), 1u);
  EXPECT_EQ(SkinEngineAttach(reinterpret_cast<std::uintptr_t>(blob.data()), blob.size() - 1, 0, 0, 0, 0), 0u);
  EXPECT_EQ(SkinEngineAttach(0, blob.size(), 0, 0, 0, 0), 0u);
  EXPECT_EQ(SkinEngineAttach(reinterpret_cast<std::uintptr_t>(blob.data()), ~std::uintptr_t{0}, 0, 0, 0, 0), 0u);
  EXPECT_EQ(applied.size(), 2u);

  SetSkinStyleApplier([](std::string_view) { return false; });
  EXPECT_EQ(AttachBuiltInSkin(state, 2, 0, 1), 0);
  SetSkinStyleApplier({});
  EXPECT_EQ(AttachBuiltInSkin(state, 2, 0, 1), 0);
  EXPECT_TRUE(state.skinLoader->free());
}

TEST(SkinBlobs, TwelveDistinctWellFormedSkins) {
  std::set<ByteBuffer> seen;
  for (std::int32_t skin = 1; skin <= kBuiltInSkinCount; ++skin) {
    for (std::int32_t variant : {1, 2}) {
      SCOPED_TRACE(skin * 10 + variant);
      const auto blob = BuiltInSkin(skin, variant);
      const auto sheet = SkinStyleSheet(blob);
      ASSERT_TRUE(sheet.has_value());
      EXPECT_EQ(blob[6], variant);
      EXPECT_EQ(blob[8], skin);
      EXPECT_EQ(sheet->find('@'), std::string_view::npos);  // every hole filled
      for (const char* part : {"QGroupBox::title", "QPushButton:hover", "QPushButton:pressed",
                               "QHeaderView::section", "QPlainTextEdit"}) {
        EXPECT_NE(sheet->find(part), std::string_view::npos) << part;
      }
      seen.insert(Bytes(blob));
    }
  }
  EXPECT_EQ(seen.size(), 12u);
  EXPECT_TRUE(BuiltInSkin(0, 1).empty());
  EXPECT_TRUE(BuiltInSkin(7, 1).empty());
}

TEST(SkinBlobs, MalformedBlobsCarryNoStyleSheet) {
  const ByteBuffer good = Bytes(BuiltInSkin(1, 1));
  auto changed = [&](std::size_t at, std::uint8_t v) {
    ByteBuffer b = good;
    b[at] = v;
    return b;
  };
  ByteBuffer longer = good;
  longer.push_back('x');
  const ByteBuffer cases[] = {
      {},
      ByteBuffer(good.begin(), good.begin() + 15),
      changed(0, 'X'),
      changed(4, 2),
      changed(12, static_cast<std::uint8_t>(good[12] + 1)),
      longer,
      changed(good.size() - 1, 0),
  };
  for (const auto& b : cases) EXPECT_FALSE(SkinStyleSheet(b).has_value());
  EXPECT_TRUE(SkinStyleSheet(good).has_value());
}

}  // namespace
}  // namespace lumbrin
