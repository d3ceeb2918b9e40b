// Pure pieces of the download: size text, safe and distinct file names, the
// callback name of a storage link, and the part file that guards old files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "gallery/file_names.h"
#include "gallery/link_resolution.h"
#include "gallery/part_file.h"
#include "gallery/picture_download.h"
#include "http/charset.h"
#include "support/temp_dir.h"

namespace lumbrin {
namespace {

namespace fs = std::filesystem;

TEST(FormatSize, UnitTableThresholdsAndOverflow) {
  struct Case {
    const char* count;
    const char* text;
  };
  const Case cases[] = {
      {"0", "0b"},
      {"1023", "1023b"},
      {"0100", "0100b"},  // below 1024 the text is kept as given
      {"1024", "1kb"},
      {"1536", "1.5kb"},
      {"1048575", "1024kb"},  // 1023.999... rounds up
      {"1048576", "1mb"},
      {"1073741824", "1gb"},
      {"2147483647", "2gb"},
      {"1610612736", "1.5gb"},
      {"1099511627775", "1024gb"},
      {"1099511627776", "1tb"},
      // Decimal thresholds against power-of-two divisors.
      {"1125899906842625", "1024tb"},  // just above 2^50, still tb
      {"1125899999999999", "1024tb"},
      {"1125900000000000", "1pb"},
      {"1152899999999999744", "1023.98pb"},
      {"1152900000000000000", "1eb"},  // just below 2^60, already eb
      {"1152921504606846976", "1eb"},
      {"9223372036854775807", "8eb"},
      // Beyond 64 bits.
      {"9223372036854775808", "8eb"},
      {"10000000000000000000", "8.67eb"},
      {"100000000000000000000", "86.74eb"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatSize(c.count), c.text) << c.count;
}

TEST(SafeFileName, UntrustedNamesBecomeOnePlainComponent) {
  struct Case {
    std::string name;
    std::string id;
    std::string safe;
  };
  const Case cases[] = {
      {"IMG_0001.JPG", "7", "IMG_0001.JPG"},
      {"../x.jpg", "7", "___x.jpg"},
      {"a/b.jpg", "7", "a_b.jpg"},
      {"..\\..\\y.jpg", "7", "___.._y.jpg"},
      {"/etc/passwd", "7", "_etc_passwd"},
      {".hidden.jpg", "7", "_hidden.jpg"},
      {"a\tb\x01\x7f.jpg", "7", "a_b__.jpg"},
      {"c1\xc2\x85.jpg", "7", "c1_.jpg"},
      {"", "123", "picture_123"},
      {"..", "9/../x", "picture_9____x"},
      {"...", "", "picture"},
      {"\xe7\x85\xa7\xe7\x89\x87 1.jpg", "7", "\xe7\x85\xa7\xe7\x89\x87 1.jpg"},  // non-ASCII kept
  };
  for (const Case& c : cases) {
    const std::string safe = SafeFileName(Utf8ToLocal(c.name), Utf8ToLocal(c.id));
    EXPECT_EQ(safe, c.safe) << c.name;
    EXPECT_EQ(SafeFileName(Utf8ToLocal(safe), Utf8ToLocal(c.id)), safe) << "not idempotent: " << c.name;
  }
}

TEST(SafeFileName, OverlongNameIsCutOnACharacterKeepingTheExtension) {
  std::string name;
  for (int i = 0; i < 150; ++i) name += "\xe5\x9b\xbe";  // 450 bytes of 3-byte characters
  name += ".jpeg";
  const std::string safe = SafeFileName(Utf8ToLocal(name), "1");
  ASSERT_LE(safe.size(), kMaxFileNameBytes);
  EXPECT_GE(safe.size(), kMaxFileNameBytes - 3);
  EXPECT_TRUE(safe.ends_with(".jpeg"));
  EXPECT_EQ(LocalToUtf8(Utf8ToLocal(safe)), safe) << "cut inside a character";
  EXPECT_EQ((safe.size() - 5) % 3, 0u);
}

TEST(FileNameRegistry, LaterDuplicatesGetTheirIdAndNamesAreStable) {
  const auto names = [] {
    FileNameRegistry registry;
    std::vector<std::string> out;
    out.push_back(registry.add("1", "IMG_0001.JPG"));
    out.push_back(registry.add("2", "IMG_0001.JPG"));
    out.push_back(registry.add("1", "IMG_0001.JPG"));  // same picture again (repeated day)
    out.push_back(registry.add("3", "IMG_0001_2.JPG"));  // a real name equal to a suffixed one
    out.push_back(registry.add("2", "IMG_0001_2.JPG"));
    out.push_back(registry.add("4", ""));
    out.push_back(registry.add("5", "picture_4"));
    out.push_back(registry.add("6", "../a"));
    out.push_back(registry.add("7", "___a"));
    return out;
  };
  const std::vector<std::string> first = names();
  const std::vector<std::string> expected = {"IMG_0001.JPG",   "IMG_0001_2.JPG", "IMG_0001.JPG",
                                             "IMG_0001_2_3.JPG", "IMG_0001_2.JPG", "picture_4",
                                             "picture_4_5",    "___a",           "___a_7"};
  EXPECT_EQ(first, expected);
  EXPECT_EQ(names(), first);
}

TEST(CallbackNameOf, FourthNonEmptyFieldValue) {
  struct Case {
    const char* link;
    const char* name;
  };
  const Case cases[] = {
      {"http://h/dl?a=1&b=2&c=3&callback=dl_img_cb_1647912345678_1&id=5", "dl_img_cb_1647912345678_1"},
      {"http://h/dl?a=1&&b=2&&&c=3&callback=x", "x"},  // consecutive "&" are no fields
      {"p&q&r&callback==after", "after"},               // empty piece between "=" dropped
      {"p&q&r&callback=a=b", "a"},
      {"", "无"},
      {"&&&", "无"},
      {"p&q&r", "无"},  // no fourth field
      {"p&q&r&callback", "无"},
      {"p&q&r&callback=", "无"},
  };
  for (const Case& c : cases) EXPECT_EQ(LocalToUtf8(CallbackNameOf(c.link)), c.name) << c.link;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(PartFile, OnlyACommittedFileReplacesTheOldOne) {
  test::TempDir dir;
  const fs::path target = dir.path() / "a.jpg";
  std::ofstream(target) << "old";
  const std::uint8_t bytes[] = {'n', 'e', 'w', '!'};
  {
    PartFile file(dir.path(), "a.jpg", 100);
    ASSERT_TRUE(file.isOpen());
    ASSERT_TRUE(file.begin(200, "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n"));
    ASSERT_TRUE(file.write(bytes, sizeof bytes));
    EXPECT_EQ(file.contentType(), "image/jpeg");
  }  // not committed
  EXPECT_EQ(ReadAll(target), "old");
  {
    PartFile file(dir.path(), "a.jpg", 6);
    EXPECT_FALSE(file.begin(500, "HTTP/1.1 500 Error\r\n"));
    EXPECT_EQ(file.status(), 500);
    EXPECT_TRUE(file.write(bytes, 4));
    EXPECT_FALSE(file.write(bytes, 4)) << "beyond the bound";
    EXPECT_TRUE(file.tooLarge());
  }
  EXPECT_EQ(ReadAll(target), "old");
  {
    PartFile file(dir.path(), "a.jpg", 100);
    ASSERT_TRUE(file.write(bytes, sizeof bytes));
    ASSERT_TRUE(file.commit());
  }
  EXPECT_EQ(ReadAll(target), "new!");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::others_write, fs::perms::none);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "part file left";

  PartFile missing(dir.path() / "no-such-folder", "a.jpg", 100);
  EXPECT_FALSE(missing.isOpen());
  EXPECT_FALSE(missing.commit());
}

TEST(PartFile, NeverReplacesTheProgramOrWhatIsNoPicture) {
  // The window saves into the program's folder: a picture named like the
  // program, a library link or a folder beside it leaves them as they are.
  test::TempDir dir;
  const fs::path program = dir.path() / "lumbrin";
  std::ofstream(program) << "program";
  fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  fs::create_symlink(program, dir.path() / "lumbrin-link");
  fs::create_directory(dir.path() / "plugins");
  const std::uint8_t bytes[] = {'j', 'p', 'g'};
  for (const char* name : {"lumbrin", "lumbrin-link", "plugins"}) {
    PartFile file(dir.path(), name, 100);
    EXPECT_FALSE(file.isOpen()) << name;
    EXPECT_FALSE(file.commit()) << name;
  }
  EXPECT_EQ(ReadAll(program), "program");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "lumbrin-link"));

  // Made executable while the body came in: the commit still leaves it.
  const fs::path late = dir.path() / "late.jpg";
  PartFile file(dir.path(), "late.jpg", 100);
  ASSERT_TRUE(file.isOpen());
  ASSERT_TRUE(file.write(bytes, sizeof bytes));
  std::ofstream(late) << "tool";
  fs::permissions(late, fs::perms::owner_exec, fs::perm_options::add);
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(ReadAll(late), "tool");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4) << "part file left";
}

}  // namespace
}  // namespace lumbrin
