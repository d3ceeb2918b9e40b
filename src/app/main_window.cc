#include "app/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTreeWidget>
#include <algorithm>
#include <cstdlib>

#include "app/app_icon.h"
#include "app/gui_call.h"
#include "app/save_folder.h"
#include "gallery/timestamp.h"
#include "http/charset.h"

namespace lumbrin {
namespace {

QString Ui(const char* utf8) { return QString::fromUtf8(utf8); }
QString ToQString(LocalView text) { return QString::fromStdU16String(LocalToUtf16(text)); }
LocalText ToLocal(const QString& text) { return Utf16ToLocal(text.toStdU16String()); }

// Line breaks of local text ("\r\n", or a lone "\r") as the editor's own:
// QTextCursor would turn each of "\r" and "\n" into a paragraph of its own.
QString DisplayText(LocalView text) {
  QString s = ToQString(text);
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

template <class W>
W* Place(W* widget, const char* name, int x, int y, int w, int h) {
  widget->setObjectName(Ui(name));
  widget->setGeometry(x, y, w, h);
  return widget;
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, int x, int y, int w, int h) {
  return Place(new QPushButton(Ui(text), parent), name, x, y, w, h);
}

QGroupBox* Group(QWidget* parent, const char* name, const char* title, int x, int y, int w, int h) {
  return Place(new QGroupBox(Ui(title), parent), name, x, y, w, h);
}

// Both edit boxes: multi-line, wrapping at the box's width, vertical scroll
// bar only, editable, black on white, selection hidden while unfocused.
QPlainTextEdit* EditBox(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* edit = Place(new QPlainTextEdit(parent), name, x, y, w, h);
  edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  edit->setReadOnly(false);
  edit->setTabChangesFocus(true);
  QPalette palette = edit->palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(group, QPalette::Base, Qt::white);
    palette.setColor(group, QPalette::Text, Qt::black);
  }
  palette.setColor(QPalette::Inactive, QPalette::Highlight, Qt::white);
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::black);
  edit->setPalette(palette);
  return edit;
}

const char kMessageCaption[] = "信息：";

}  // namespace

MainWindow::MainWindow(MainWindowOptions options) : QWidget(nullptr), options_(std::move(options)) {
  setWindowTitle(QStringLiteral("Lumbrin"));
  setWindowIcon(MakeAppIcon());

  std::filesystem::path programDir = options_.programDir;
  if (programDir.empty()) programDir = QCoreApplication::applicationDirPath().toStdU16String();
  const char* pictures = std::getenv("XDG_PICTURES_DIR");
  const char* home = std::getenv("HOME");
  const auto choice = ChooseSaveFolder(programDir, pictures != nullptr ? pictures : "", home != nullptr ? home : "",
                                       options_.isWritable);
  saveFolder_ = choice.folder;
  saveFolderIsFallback_ = choice.fallback;

  calls_ = GuiCallQueue::create();
  host_ = std::make_shared<GuiHost>(calls_, this, options_.service, saveFolder_);
  receiver_ = new GuiCallReceiver(calls_, this);

  move(50, 50);
  setFixedSize(kOuterWidth, kOuterHeight);
  buildControls();
  onWindowCreated();
}

MainWindow::~MainWindow() {
  endWorkers();
  host_->detach();
  for (auto& box : workerBoxes_) delete box.data();
  if (tray_ != nullptr) tray_->hide();
}

void MainWindow::buildControls() {
  // Later siblings stack above earlier ones: the boxes come first, so the
  // buttons that lie inside a box's area but belong to the window stay on
  // top and receive the clicks.
  list_ = Place(new QTreeWidget(this), "超级列表框1", 0, 0, 736, 384);
  list_->setColumnCount(3);
  list_->setHeaderLabels({Ui("ID"), Ui("图片url"), Ui("图片文件名")});
  list_->header()->setStretchLastSection(false);
  list_->setColumnWidth(0, 50);
  list_->setColumnWidth(1, 500);
  list_->setColumnWidth(2, 186);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);

  auto* functions = Group(this, "分组框2", "功能区", 0, 384, 416, 144);
  auto* listAll = Button(functions, "按钮1", "获取所有图片", 16, 18, 104, 48);
  auto* pause = Button(functions, "按钮3", "暂停获取", 136, 20, 104, 48);

  auto* cookieGroup = Group(this, "分组框1", "输入cookie", 416, 384, 320, 144);
  cookieBox_ = EditBox(cookieGroup, "输入cookie框", 24, 24, 280, 112);

  auto* logGroup = Group(this, "分组框3", "日志", 0, 528, 736, 248);
  log_ = EditBox(logGroup, "编辑框1", 8, 16, 408, 224);
  auto* stopGroup = Group(logGroup, "分组框4", "", 424, 8, 304, 230);
  auto* stop = Button(stopGroup, "按钮4", "停止下载", 64, 144, 168, 64);

  auto* download = Button(this, "按钮2", "下载图片", 257, 405, 104, 48);
  auto* single = Button(this, "按钮6", "单线程下载", 20, 472, 104, 48);
  auto* multi = Button(this, "按钮7", "多线程下载", 136, 472, 104, 48);
  Button(this, "按钮5", "暂无功能待添加", 488, 576, 168, 64);  // no command

  connect(listAll, &QPushButton::clicked, this, &MainWindow::listAllPictures);
  connect(pause, &QPushButton::clicked, this, &MainWindow::pauseListing);
  connect(download, &QPushButton::clicked, this, &MainWindow::downloadPictures);
  connect(single, &QPushButton::clicked, this, &MainWindow::singleThreadDownload);
  connect(multi, &QPushButton::clicked, this, &MainWindow::multiThreadDownload);
  connect(stop, &QPushButton::clicked, this, &MainWindow::stopDownload);
}

void MainWindow::buildMenuAndTray() {
  // The window's one menu; never a menu bar, only ever the tray popup.
  menu_ = new QMenu(Ui("软件"), this);
  menu_->setObjectName(Ui("软件"));
  menu_->menuAction()->setVisible(false);
  connect(menu_->addAction(Ui("打开相册保存位置")), &QAction::triggered, this, &MainWindow::openSaveFolder);
  connect(menu_->addAction(Ui("提建议")), &QAction::triggered, this, &MainWindow::showSuggestion);
  connect(menu_->addAction(Ui("最小化")), &QAction::triggered, this, &MainWindow::minimizeWindow);
  connect(menu_->addAction(Ui("关闭")), &QAction::triggered, this, &QWidget::close);

  tray_ = new QSystemTrayIcon(windowIcon(), this);
  tray_->setToolTip(QStringLiteral("Lumbrin"));
  connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::handleTrayActivation);
  tray_->show();  // without a notification area this shows nothing; nothing is reported
}

void MainWindow::onWindowCreated() {
  SharedState& s = state();
  s.activeWorkers = 0;
  s.nextRow = 0;
  s.runState = 1;
  s.downloadMode = 1;
  if (options_.attachSkin) options_.attachSkin();
  buildMenuAndTray();
  if (saveFolderIsFallback_) {
    logAppend(FormatDateTime(NowOleDate(SystemClock()), "-", ":", 3) + LocalFromUtf8(" 程序目录不可写，图片将保存到：") +
              Utf8ToLocal(saveFolder_.string()) + "\r\n");
  }
}

void MainWindow::fitOuterSize() {
  const int frameWidth = frameGeometry().width() - geometry().width();
  const int frameHeight = frameGeometry().height() - geometry().height();
  const QSize client(std::max(kControlsWidth, kOuterWidth - frameWidth),
                     std::max(kControlsHeight, kOuterHeight - frameHeight));
  if (client != size()) setFixedSize(client);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  fitOuterSize();
}

// The window system may report the frame only once it has placed the
// window, which arrives as a move.
void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (isVisible()) fitOuterSize();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The program ends now: end the workers (their requests in flight abort),
  // refuse their requests from here on and release those waiting for this
  // thread; the workers themselves are not waited for.
  endWorkers();
  host_->detach();
  event->accept();
  emit closed();
}

void MainWindow::endWorkers() {
  if (listingThread_) listingThread_->end();
  if (dispatcherThread_) dispatcherThread_->freeze();
}

ThreadHandle MainWindow::startWorker(const std::function<void(Host&)>& routine, std::int32_t parameter) {
  return StartThread(
      [host = host_, routine](std::int32_t) -> std::int32_t {
        if (routine) routine(*host);
        return 0;
      },
      parameter);
}

void MainWindow::listAllPictures() {
  clearRows();
  // A refilled list is downloaded from its first row: the rows handed out
  // before belonged to the list that has just been emptied.
  state().nextRow = 0;
  listingThread_ = startWorker(options_.workers.listing, 1);
}

void MainWindow::pauseListing() {
  if (listingThread_) listingThread_->end();
}

void MainWindow::downloadPictures() {
  state().downloadMode = 1;
  startDownloadDispatcher();
}

void MainWindow::singleThreadDownload() {
  state().downloadMode = 1;
  state().runState = 1;
  startDownloadDispatcher();
}

void MainWindow::multiThreadDownload() {
  state().runState = 1;
  state().downloadMode = 2;
  startDownloadDispatcher();
}

void MainWindow::startDownloadDispatcher() { dispatcherThread_ = startWorker(options_.workers.dispatcher, 0); }

void MainWindow::stopDownload() {
  state().runState = 2;
  // The frozen dispatcher takes no further row and starts no further
  // worker, so nextRow keeps counting the rows really handed out and
  // activeWorkers the downloads really in progress.
  if (dispatcherThread_) dispatcherThread_->freeze();
}

void MainWindow::handleTrayActivation(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Context) return;  // clicks and double clicks do nothing
  menu_->popup(QCursor::pos() + QPoint(3, 3));
}

void MainWindow::openSaveFolder() {
  const QUrl url = QUrl::fromLocalFile(QFile::decodeName(saveFolder_.c_str()));
  if (options_.openUrl) {
    (void)options_.openUrl(url);
  } else {
    (void)QDesktopServices::openUrl(url);
  }
}

void MainWindow::showSuggestion() {
  showModalMessage(
      LocalFromUtf8("软件并不完善 多线程软件下载后自动结束 暂时没有找到办法 单线程比较稳一点\r\n"
                    "如果有建议 欢迎在帖子下方留言"));
}

void MainWindow::minimizeWindow() {
  const bool trayAvailable =
      options_.trayAvailable ? options_.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
  // Hidden, only the tray icon leads back; without a notification area the
  // window would be lost, so it is minimised instead.
  if (trayAvailable) {
    hide();
  } else {
    showMinimized();
  }
}

LocalText MainWindow::cookieBoxText() const { return ToLocal(cookieBox_->toPlainText()); }

void MainWindow::clearRows() { list_->clear(); }

int MainWindow::addRow(const std::vector<LocalText>& cells) {
  auto* item = new QTreeWidgetItem();
  for (int column = 0; column < 3 && column < static_cast<int>(cells.size()); ++column) {
    item->setText(column, ToQString(cells[static_cast<std::size_t>(column)]));
  }
  list_->addTopLevelItem(item);
  return list_->topLevelItemCount() - 1;
}

void MainWindow::setRowCell(int row, int column, const LocalText& text) {
  if (row < 0 || row >= list_->topLevelItemCount() || column < 0 || column >= 3) return;
  list_->topLevelItem(row)->setText(column, ToQString(text));
}

int MainWindow::rows() const { return list_->topLevelItemCount(); }

LocalText MainWindow::cell(int row, int column) const {
  if (row < 0 || row >= list_->topLevelItemCount() || column < 0 || column >= 3) return {};
  return ToLocal(list_->topLevelItem(row)->text(column));
}

std::vector<std::vector<LocalText>> MainWindow::rowRange(int first, int count) const {
  std::vector<std::vector<LocalText>> result;
  const int total = rows();
  const long long begin = std::max(first, 0);
  const long long end = std::min<long long>(total, static_cast<long long>(first) + std::max(count, 0));
  for (long long row = begin; row < end; ++row) {
    const auto r = static_cast<int>(row);
    result.push_back({cell(r, kColumnId), cell(r, kColumnThumbnail), cell(r, kColumnFileName)});
  }
  return result;
}

void MainWindow::logAppend(const LocalText& text) {
  // Always at the very end, wherever the user left the caret.
  QTextCursor cursor = log_->textCursor();
  cursor.movePosition(QTextCursor::End);
  log_->setTextCursor(cursor);
  log_->ensureCursorVisible();
  log_->insertPlainText(DisplayText(text));
  log_->ensureCursorVisible();
}

void MainWindow::showWorkerMessage(const LocalText& text, std::function<void()> done) {
  // No owner and not modal: the window stays usable while a worker waits.
  auto* box = new QMessageBox(QMessageBox::NoIcon, Ui(kMessageCaption), DisplayText(text), QMessageBox::Ok);
  box->setTextFormat(Qt::PlainText);  // worker text may come from the service
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  connect(box, &QDialog::finished, box, [done] { done(); });
  connect(box, &QObject::destroyed, this, [done] { done(); });  // a second call changes nothing
  std::erase_if(workerBoxes_, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
  workerBoxes_.emplace_back(box);
  box->show();
}

void MainWindow::showModalMessage(const LocalText& text) {
  QMessageBox box(QMessageBox::NoIcon, Ui(kMessageCaption), DisplayText(text), QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace lumbrin
