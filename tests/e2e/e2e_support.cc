#include "e2e/e2e_support.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeWidget>
#include <fstream>
#include <iterator>
#include <set>

#include "app/main_window.h"
#include "app/window_fixture.h"
#include "cli/cli_harness.h"
#include "data/json_object.h"
#include "gallery/runs.h"

namespace lumbrin::e2e {
namespace {

using test::OpenMessageBoxes;
using test::Ui;

bool IsExporterOwnFile(const std::string& relative) {
  return relative.rfind(".lumbrin-export", 0) == 0 || relative == "lumbrin-export-failures.txt";
}

// The picture whose saved name `name` is; null for none.
const Expected* ByName(const std::vector<Expected>& pictures, const std::string& name) {
  for (const Expected& p : pictures) {
    if (p.savedName == name) return &p;
  }
  return nullptr;
}

// A result line of a picture: "<time>- - <name>大小：<size> 下载成功！" or
// "<time>- - <name>下载失败<reason>".
void TallyLogLine(const std::string& line, const std::vector<Expected>& pictures, RunReport& report) {
  static const std::string kLead = "- - ";
  static const std::string kSaved = " 下载成功！";
  static const std::string kSize = "大小：";
  static const std::string kFailed = "下载失败";
  const std::size_t lead = line.find(kLead);
  if (lead == std::string::npos) return;
  const std::string rest = line.substr(lead + kLead.size());
  std::string name;
  bool saved = false;
  if (rest.size() >= kSaved.size() && rest.compare(rest.size() - kSaved.size(), kSaved.size(), kSaved) == 0) {
    const std::size_t size = rest.rfind(kSize);
    if (size == std::string::npos) return;
    name = rest.substr(0, size);
    saved = true;
  } else if (const std::size_t failed = rest.find(kFailed); failed != std::string::npos) {
    name = rest.substr(0, failed);
  } else {
    return;
  }
  const Expected* picture = ByName(pictures, name);
  if (picture == nullptr) {
    ++report.unknownLines;
    return;
  }
  Reported& r = report.byId[picture->id];
  (saved ? r.saved : r.failed) += 1;
}

}  // namespace

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::WindowSingle: return "WindowSingle";
    case Mode::WindowTen: return "WindowTen";
    case Mode::Export: return "Export";
  }
  return "?";
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> FilesUnder(const fs::path& root) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_symlink(ec) || it->is_regular_file(ec)) {
      files.push_back(fs::relative(it->path(), root, ec).string());
    }
  }
  return files;
}

int ExpectConsistent(const RunReport& report, const std::vector<Expected>& pictures, const fs::path& folder,
                     bool exporterFolder) {
  EXPECT_TRUE(report.finished) << "the run did not end by itself: " << report.problem;
  EXPECT_EQ(report.listed, static_cast<int>(pictures.size())) << "every picture must be listed";
  EXPECT_EQ(report.unknownLines, 0) << "result lines for pictures that were never listed";
  int saved = 0;
  std::set<std::string> savedNames;
  for (const Expected& p : pictures) {
    const auto it = report.byId.find(p.id);
    const Reported r = it == report.byId.end() ? Reported{} : it->second;
    EXPECT_EQ(r.saved + r.failed, 1) << p.savedName << ": reported " << r.saved << " times saved and " << r.failed
                                     << " times failed; exactly one report is due";
    const fs::path file = folder / p.savedName;
    std::error_code ec;
    const bool present = fs::is_regular_file(file, ec);
    if (r.saved > 0) {
      EXPECT_TRUE(present) << p.savedName << ": reported saved, but no file";
      if (present) {
        const std::string bytes = ReadAll(file);
        EXPECT_TRUE(bytes.size() == p.content.size() &&
                    std::equal(bytes.begin(), bytes.end(), p.content.begin(),
                               [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
            << p.savedName << ": saved " << bytes.size() << " bytes that are not the picture's " << p.content.size();
      }
      ++saved;
      savedNames.insert(p.savedName);
    } else {
      EXPECT_FALSE(present) << p.savedName << ": reported failed (or not at all), yet a file has its name";
    }
  }
  int filesOnDisk = 0;
  for (const std::string& relative : FilesUnder(folder)) {
    if (exporterFolder && IsExporterOwnFile(relative)) continue;
    const std::string leaf = fs::path(relative).filename().string();
    EXPECT_FALSE(leaf.ends_with(".part") || leaf.ends_with(".tmp")) << "temporary file left behind: " << relative;
    EXPECT_TRUE(savedNames.count(relative) == 1) << "a file no saved picture accounts for: " << relative;
    ++filesOnDisk;
  }
  EXPECT_EQ(filesOnDisk, saved) << "files on disk and saved reports do not reconcile";
  return saved;
}

WindowRun::WindowRun(ServiceSettings service, fs::path saveFolder) {
  // The process-wide session: a worker the window does not track (the single
  // worker, picture threads) may still be ending when this object goes.
  service.session = nullptr;
  MainWindowOptions options;
  options.service = std::move(service);
  options.workers.listing = ListAllPictures;
  options.workers.dispatcher = DownloadDispatcher;
  options.programDir = std::move(saveFolder);
  options.openUrl = [](const QUrl&) { return true; };
  options.trayAvailable = [] { return false; };
  window_ = std::make_unique<MainWindow>(std::move(options));
  window_->show();
}

WindowRun::~WindowRun() {
  // Let the workers the window tracks end before the test looks at the disk.
  const auto idle = [this] {
    const ThreadHandle& listing = window_->listingThread();
    const ThreadHandle& dispatcher = window_->dispatcherThread();
    return (!listing || listing->finished()) && (!dispatcher || dispatcher->finished()) &&
           window_->state().activeWorkers.load() <= 0;
  };
  for (QMessageBox* box : OpenMessageBoxes()) box->done(QMessageBox::Ok);
  (void)QTest::qWaitFor(idle, 30000);
  for (QMessageBox* box : OpenMessageBoxes()) box->done(QMessageBox::Ok);
  window_.reset();
  QApplication::processEvents();
}

bool WindowRun::list(const std::string& cookie, std::chrono::milliseconds bound) {
  auto* cookieBox = window_->findChild<QPlainTextEdit*>(Ui("输入cookie框"));
  auto* button = window_->findChild<QAbstractButton*>(Ui("按钮1"));
  if (cookieBox == nullptr || button == nullptr) return false;
  cookieBox->setPlainText(QString::fromStdString(cookie));
  button->click();
  // A listing that gives up shows its message box and waits for it.
  return QTest::qWaitFor(
      [this] {
        const ThreadHandle& listing = window_->listingThread();
        return (listing && listing->finished()) || !OpenMessageBoxes().isEmpty();
      },
      static_cast<int>(bound.count()));
}

int WindowRun::rows() {
  auto* list = window_->findChild<QTreeWidget*>(Ui("超级列表框1"));
  return list == nullptr ? -1 : list->topLevelItemCount();
}

std::string WindowRun::logText() {
  auto* log = window_->findChild<QPlainTextEdit*>(Ui("编辑框1"));
  return log == nullptr ? std::string() : log->toPlainText().toStdString();
}

std::vector<std::string> WindowRun::takeMessages() {
  std::vector<std::string> texts;
  for (QMessageBox* box : OpenMessageBoxes()) {
    texts.push_back(box->text().toStdString());
    box->done(QMessageBox::Ok);
  }
  QApplication::processEvents();
  return texts;
}

RunReport WindowRun::download(Mode mode, const std::vector<Expected>& pictures, std::chrono::milliseconds bound) {
  RunReport report;
  report.listed = rows();
  const char* button = mode == Mode::WindowSingle ? "按钮6" : "按钮7";
  auto* press = window_->findChild<QAbstractButton*>(Ui(button));
  if (press == nullptr) {
    report.problem = "no download button";
    return report;
  }
  press->click();
  const auto ended = [&] {
    if (mode == Mode::WindowSingle) return !OpenMessageBoxes().isEmpty();
    const ThreadHandle& dispatcher = window_->dispatcherThread();
    return dispatcher && dispatcher->finished() && window_->state().activeWorkers.load() == 0;
  };
  report.finished = QTest::qWaitFor(ended, static_cast<int>(bound.count()));
  if (!report.finished) report.problem = "still running after " + std::to_string(bound.count()) + " ms";
  if (mode == Mode::WindowSingle && report.finished) {
    const std::vector<std::string> messages = takeMessages();
    const std::string done = "已下载完毕 文件保存在：" + window_->saveFolder().string();
    if (messages.size() != 1 || messages[0] != done) {
      report.problem = "the single worker's completion message is missing or wrong";
      report.finished = false;
    }
  }
  report.logText = logText();
  std::size_t start = 0;
  while (start <= report.logText.size()) {
    std::size_t end = report.logText.find('\n', start);
    if (end == std::string::npos) end = report.logText.size();
    TallyLogLine(report.logText.substr(start, end - start), pictures, report);
    start = end + 1;
  }
  return report;
}

ExportRun RunExporter(const fs::path& work, const fs::path& out, const std::string& service,
                      const std::string& cookie, const std::vector<std::string>& extraArgs,
                      const std::vector<Expected>& pictures, std::chrono::milliseconds bound) {
  const fs::path cookieFile = work / "cookie.txt";
  test::WriteFileText(cookieFile, cookie + "\n");
  std::vector<std::string> args = {"--cookie-file", cookieFile.string(), "--out", out.string(), "--service",
                                   service, "--json", "--quiet"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());

  ExportRun run;
  RunReport& report = run.report;
  const auto started = std::chrono::steady_clock::now();
  test::CliProcess process(work, args);
  const test::CliRun result = process.wait(static_cast<int>(bound.count()));
  report.exitCode = result.exitCode;
  report.logText = result.out + result.err;
  report.finished = std::chrono::steady_clock::now() - started < bound && result.exitCode < 128;
  if (!report.finished) report.problem = "exit " + std::to_string(result.exitCode) + ": " + result.err;

  JsonObject summary;
  if (!summary.parse(result.out)) {
    report.problem += " no summary on stdout: " + result.out + result.err;
    return run;
  }
  report.listed = static_cast<int>(summary.getNumber("listed"));
  run.saved = static_cast<int>(summary.getNumber("saved"));
  run.alreadyThere = static_cast<int>(summary.getNumber("alreadyThere"));
  run.notAttempted = static_cast<int>(summary.getNumber("notAttempted"));
  const int failures = summary.count("failures");
  EXPECT_EQ(failures, static_cast<int>(summary.getNumber("failed"))) << "the summary's failure count and list differ";
  std::set<std::string> failedIds;
  for (int i = 0; i < failures; ++i) {
    const std::string item = "failures[" + std::to_string(i) + "]";
    const std::string id = summary.getText(item + ".id");
    report.byId[id].failed += 1;
    run.failureReasons[id] = summary.getText(item + ".reason");
    failedIds.insert(id);
    if (ByName(pictures, summary.getText(item + ".name")) == nullptr) ++report.unknownLines;
  }
  // The summary names failures one by one and counts the rest; a picture
  // not failed was saved now or before, and the counts must say so.
  EXPECT_EQ(run.saved + run.alreadyThere + failures + run.notAttempted, report.listed)
      << "the summary's counts do not add up to what it listed";
  EXPECT_EQ(run.notAttempted, 0) << "pictures left without any outcome";
  const int notFailed = static_cast<int>(pictures.size()) - static_cast<int>(failedIds.size());
  if (run.saved + run.alreadyThere == notFailed) {
    for (const Expected& p : pictures) {
      if (failedIds.count(p.id) == 0) report.byId[p.id].saved += 1;
    }
  }
  return run;
}

}  // namespace lumbrin::e2e
