// The window as it is built: controls, list columns, edit boxes, menu, icon,
// placement, and the window-created steps.

#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "app/window_fixture.h"

namespace lumbrin::test {
namespace {

struct ControlRow {
  const char* name;
  const char* parent;  // nullptr: the window
  const char* kind;    // Qt class
  const char* text;    // button text or box title; nullptr: none
  QRect geometry;
};

const ControlRow kControls[] = {
    {"按钮7", nullptr, "QPushButton", "多线程下载", {136, 472, 104, 48}},
    {"按钮6", nullptr, "QPushButton", "单线程下载", {20, 472, 104, 48}},
    {"按钮5", nullptr, "QPushButton", "暂无功能待添加", {488, 576, 168, 64}},
    {"分组框3", nullptr, "QGroupBox", "日志", {0, 528, 736, 248}},
    {"分组框4", "分组框3", "QGroupBox", "", {424, 8, 304, 230}},
    {"按钮4", "分组框4", "QPushButton", "停止下载", {64, 144, 168, 64}},
    {"编辑框1", "分组框3", "QPlainTextEdit", nullptr, {8, 16, 408, 224}},
    {"按钮2", nullptr, "QPushButton", "下载图片", {257, 405, 104, 48}},
    {"分组框2", nullptr, "QGroupBox", "功能区", {0, 384, 416, 144}},
    {"按钮3", "分组框2", "QPushButton", "暂停获取", {136, 20, 104, 48}},
    {"按钮1", "分组框2", "QPushButton", "获取所有图片", {16, 18, 104, 48}},
    {"超级列表框1", nullptr, "QTreeWidget", nullptr, {0, 0, 736, 384}},
    {"分组框1", nullptr, "QGroupBox", "输入cookie", {416, 384, 320, 144}},
    {"输入cookie框", "分组框1", "QPlainTextEdit", nullptr, {24, 24, 280, 112}},
};

TEST_F(WindowTest, EveryControlHasItsParentKindTextAndGeometry) {
  open();
  for (const auto& row : kControls) {
    SCOPED_TRACE(row.name);
    QWidget* w = control(row.name);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), row.kind);
    QWidget* expectedParent = row.parent == nullptr ? window.get() : control(row.parent);
    EXPECT_EQ(w->parentWidget(), expectedParent);
    EXPECT_EQ(w->geometry(), row.geometry);
    if (auto* button = qobject_cast<QPushButton*>(w)) {
      EXPECT_EQ(button->text(), Ui(row.text));
    }
    if (auto* box = qobject_cast<QGroupBox*>(w)) {
      EXPECT_EQ(box->title(), Ui(row.text));
    }
    if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) {
      EXPECT_TRUE(edit->toPlainText().isEmpty());
    }
  }
  EXPECT_EQ(window->findChildren<QPushButton*>().size(), 7);
  EXPECT_EQ(window->findChildren<QGroupBox*>().size(), 4);
}

// The buttons on the window lie inside the areas of boxes; they must be the
// widget under the mouse there, or the clicks would go to the box.
TEST_F(WindowTest, ButtonsAreOnTopWhereTheyOverlapBoxes) {
  open();
  window->show();
  for (const char* name : {"按钮1", "按钮2", "按钮3", "按钮4", "按钮5", "按钮6", "按钮7"}) {
    SCOPED_TRACE(name);
    QWidget* button = control(name);
    const QPoint centre = button->mapTo(window.get(), button->rect().center());
    QWidget* hit = window->childAt(centre);
    ASSERT_NE(hit, nullptr);
    EXPECT_TRUE(hit == button || button->isAncestorOf(hit));
  }
}

TEST_F(WindowTest, PictureListHasThreeTitledColumnsWithoutTreeDecoration) {
  open();
  auto* list = control<QTreeWidget>("超级列表框1");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->columnCount(), 3);
  const std::pair<const char*, int> columns[] = {{"ID", 50}, {"图片url", 500}, {"图片文件名", 186}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list->headerItem()->text(i), Ui(columns[i].first));
    EXPECT_EQ(list->columnWidth(i), columns[i].second);
  }
  EXPECT_FALSE(list->rootIsDecorated());
  EXPECT_FALSE(list->isHeaderHidden());
}

TEST_F(WindowTest, EditBoxesWrapScrollVerticallyAndHideSelectionWhenUnfocused) {
  open();
  for (const char* name : {"编辑框1", "输入cookie框"}) {
    SCOPED_TRACE(name);
    auto* edit = control<QPlainTextEdit>(name);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(edit->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_NE(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_FALSE(edit->isReadOnly());
    const QPalette p = edit->palette();
    EXPECT_EQ(p.color(QPalette::Active, QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(p.color(QPalette::Active, QPalette::Text), QColor(Qt::black));
    EXPECT_EQ(p.color(QPalette::Inactive, QPalette::Highlight), p.color(QPalette::Inactive, QPalette::Base));
    EXPECT_EQ(p.color(QPalette::Inactive, QPalette::HighlightedText), p.color(QPalette::Inactive, QPalette::Text));
  }
}

TEST_F(WindowTest, MenuIsHiddenAndHoldsItsFourItemsInOrder) {
  open();
  window->show();
  EXPECT_TRUE(window->findChildren<QMenuBar*>().isEmpty());
  QMenu* menu = window->softwareMenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(menu->parent(), window.get());
  EXPECT_EQ(menu->title(), Ui("软件"));
  EXPECT_FALSE(menu->menuAction()->isVisible());
  EXPECT_FALSE(menu->isVisible());
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 4);
  const char* texts[] = {"打开相册保存位置", "提建议", "最小化", "关闭"};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(texts[i]);
    EXPECT_EQ(actions[i]->text(), Ui(texts[i]));
    EXPECT_TRUE(actions[i]->isEnabled());
    EXPECT_FALSE(actions[i]->isCheckable());
    EXPECT_FALSE(actions[i]->isSeparator());
    EXPECT_TRUE(actions[i]->shortcut().isEmpty());
  }
}

TEST_F(WindowTest, WindowAndTrayShareOneSixtyFourPixelIconAndTheTrayTip) {
  open();
  const QIcon icon = window->windowIcon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_TRUE(icon.availableSizes().contains(QSize(64, 64)));
  ASSERT_NE(window->trayIcon(), nullptr);
  EXPECT_EQ(window->trayIcon()->toolTip(), QStringLiteral("Lumbrin"));
  const QImage a = icon.pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
  const QImage b = window->trayIcon()->icon().pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
  EXPECT_EQ(a, b);
  // Drawn, not blank: the corners are clear and the middle is not.
  EXPECT_EQ(qAlpha(a.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(a.pixel(32, 32)), 255);
}

TEST_F(WindowTest, PlacedAtFiftyFiftyWithTheOuterSize) {
  open();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  const QRect frame = window->frameGeometry();
  EXPECT_EQ(frame.topLeft(), QPoint(50, 50));
  const int frameWidth = frame.width() - window->width();
  const int frameHeight = frame.height() - window->height();
  // The outer size where the frame leaves room for the controls; the client
  // area never shrinks below them.
  EXPECT_EQ(window->width(), std::max(MainWindow::kControlsWidth, 740 - frameWidth));
  EXPECT_EQ(window->height(), std::max(MainWindow::kControlsHeight, 807 - frameHeight));
  if (frameWidth <= 4 && frameHeight <= 31) {
    EXPECT_EQ(frame.size(), QSize(740, 807));
  }
}

TEST_F(WindowTest, WindowCreatedSetsTheStateAttachesTheSkinOnceAndAddsTheTray) {
  int attachCalls = 0;
  attachSkin = [&attachCalls] { ++attachCalls; };
  MainWindow& w = open();
  EXPECT_EQ(attachCalls, 1);
  EXPECT_EQ(w.state().runState.load(), 1);
  EXPECT_EQ(w.state().downloadMode.load(), 1);
  EXPECT_EQ(w.state().nextRow.load(), 0);
  EXPECT_EQ(w.state().activeWorkers.load(), 0);
  EXPECT_NE(w.trayIcon(), nullptr);
  EXPECT_FALSE(w.listingThread());
  EXPECT_FALSE(w.dispatcherThread());
  // The program's directory is writable here: it is the save folder, and
  // the log says nothing about it.
  EXPECT_EQ(w.saveFolder(), folder.path());
  EXPECT_EQ(w.host().saveFolder(), folder.path());
  EXPECT_TRUE(control<QPlainTextEdit>("编辑框1")->toPlainText().isEmpty());
}

}  // namespace
}  // namespace lumbrin::test
