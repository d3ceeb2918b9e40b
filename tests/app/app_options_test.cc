#include "app/app_options.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace lumbrin {
namespace {

QStringList Args(std::initializer_list<const char*> args) {
  QStringList list{QStringLiteral("lumbrin")};
  for (const char* a : args) list.push_back(QString::fromUtf8(a));
  return list;
}

const QString kDefault = QStringLiteral("https://gallery.invalid");

TEST(AppOptionsTest, ServiceAddressAndTlsSettings) {
  test::TempDir dir;
  const auto pem = dir.path() / "ca.pem";
  std::ofstream(pem) << "-----BEGIN CERTIFICATE-----\n";
  struct Case {
    QStringList args;
    std::string baseUrl;
    std::string caFile;
    bool insecure;
  };
  const Case cases[] = {
      {Args({}), "https://gallery.invalid", "", false},
      {Args({"--service", "http://127.0.0.1:8080/"}), "http://127.0.0.1:8080", "", false},
      {Args({"--service=https://example.test//"}), "https://example.test", "", false},
      {Args({"--service", "https://127.0.0.1:4443", "--insecure"}), "https://127.0.0.1:4443", "", true},
      {QStringList{QStringLiteral("lumbrin"), QStringLiteral("--ca-file"), QString::fromStdString(pem.string())},
       "https://gallery.invalid", pem.string(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
    const AppOptions o = ParseAppOptions(c.args, kDefault);
    ASSERT_TRUE(o.ok) << o.message.toStdString();
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.service.baseUrl, c.baseUrl);
    EXPECT_EQ(o.service.caFile, c.caFile);
    EXPECT_EQ(o.service.insecure, c.insecure);
  }
}

TEST(AppOptionsTest, UnusableCommandLinesAreRefusedWithAReason) {
  for (const auto& args : {Args({"--cookie", "a=1"}), Args({"--service"}), Args({"--service", "ftp://host"}),
                           Args({"--service", "not a url"}), Args({"--service", "https://host/path"}),
                           Args({"--service", "https://user:pw@host"}), Args({"--ca-file", "/no/such/file.pem"}),
                           Args({"stray"})}) {
    SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
    const AppOptions o = ParseAppOptions(args, kDefault);
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.message.isEmpty());
  }
  const AppOptions help = ParseAppOptions(Args({"--help"}), kDefault);
  EXPECT_TRUE(help.ok && help.help);
  EXPECT_TRUE(help.message.contains(QStringLiteral("--service")));
}

}  // namespace
}  // namespace lumbrin
