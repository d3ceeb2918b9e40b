#include "skin/skin_blobs.h"

#include <array>
#include <cstring>

namespace lumbrin {
namespace {

// Every skin is one layout of the window in its own colours. The layout is a
// style sheet with @name@ holes that a palette fills in; the blobs are
// rendered at compile time, so they are constant data like any other.
struct Palette {
  std::string_view window;         // window background
  std::string_view panel;          // group box background
  std::string_view border;         // frames and separators
  std::string_view text;           // ordinary text
  std::string_view muted;          // group box titles, disabled text
  std::string_view accent;         // hover frame, focus, highlights
  std::string_view button;         // push button face
  std::string_view buttonHover;
  std::string_view buttonPressed;
  std::string_view buttonBorder;
  std::string_view list;           // picture list background
  std::string_view listText;
  std::string_view alternate;      // every other list row
  std::string_view header;         // list header face
  std::string_view headerText;
  std::string_view selection;      // selected rows and text
  std::string_view selectionText;
  std::string_view scrollHandle;
  std::string_view radius;         // corner radius in pixels
};

// The edit boxes stay black on white in every skin: the window's form asks
// for exactly that, so only their frames follow the palette.
constexpr std::string_view kLayout = R"css(QWidget {
  background-color: @window@;
  color: @text@;
  font-family: "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Microsoft YaHei", sans-serif;
  font-size: 13px;
}
QGroupBox {
  background-color: @panel@;
  border: 1px solid @border@;
  border-radius: @radius@px;
  margin-top: 8px;
}
QGroupBox::title {
  subcontrol-origin: margin;
  subcontrol-position: top left;
  left: 12px;
  padding: 0 5px;
  color: @muted@;
  background-color: @window@;
}
QPushButton {
  background-color: @button@;
  color: @text@;
  border: 1px solid @buttonBorder@;
  border-radius: @radius@px;
  padding: 4px 10px;
}
QPushButton:hover {
  background-color: @buttonHover@;
  border-color: @accent@;
  color: @accent@;
}
QPushButton:pressed {
  background-color: @buttonPressed@;
  border-color: @accent@;
  padding-top: 5px;
  padding-bottom: 3px;
}
QPushButton:focus {
  outline: none;
}
QPushButton:disabled {
  color: @muted@;
  border-color: @border@;
}
QPlainTextEdit, QTextEdit, QLineEdit {
  background-color: #ffffff;
  color: #000000;
  border: 1px solid @border@;
  border-radius: 4px;
  padding: 2px;
  selection-background-color: @selection@;
  selection-color: @selectionText@;
}
QPlainTextEdit:focus, QTextEdit:focus, QLineEdit:focus {
  border: 1px solid @accent@;
}
QTreeView, QListView, QTableView {
  background-color: @list@;
  alternate-background-color: @alternate@;
  color: @listText@;
  border: none;
  border-bottom: 1px solid @border@;
  selection-background-color: @selection@;
  selection-color: @selectionText@;
  outline: 0;
}
QTreeView::item {
  min-height: 22px;
  padding: 0 4px;
  border: none;
}
QTreeView::item:hover {
  background-color: @buttonHover@;
}
QTreeView::item:selected {
  background-color: @selection@;
  color: @selectionText@;
}
QHeaderView {
  background-color: @header@;
  border: none;
}
QHeaderView::section {
  background-color: @header@;
  color: @headerText@;
  padding: 6px 8px;
  border: none;
  border-right: 1px solid @border@;
  border-bottom: 1px solid @border@;
  font-weight: bold;
}
QHeaderView::section:hover {
  background-color: @buttonHover@;
}
QScrollBar:vertical {
  background: transparent;
  width: 12px;
  margin: 0;
  border: none;
}
QScrollBar:horizontal {
  background: transparent;
  height: 12px;
  margin: 0;
  border: none;
}
QScrollBar::handle:vertical {
  background: @scrollHandle@;
  min-height: 28px;
  border-radius: 4px;
  margin: 2px;
}
QScrollBar::handle:horizontal {
  background: @scrollHandle@;
  min-width: 28px;
  border-radius: 4px;
  margin: 2px;
}
QScrollBar::handle:hover {
  background: @muted@;
}
QScrollBar::add-line, QScrollBar::sub-line {
  width: 0;
  height: 0;
  border: none;
  background: none;
}
QScrollBar::add-page, QScrollBar::sub-page {
  background: none;
}
QMenu {
  background-color: @panel@;
  border: 1px solid @border@;
  padding: 4px;
}
QMenu::item {
  padding: 6px 28px 6px 20px;
  border-radius: 4px;
  background-color: transparent;
}
QMenu::item:selected {
  background-color: @selection@;
  color: @selectionText@;
}
QMessageBox QLabel {
  background-color: transparent;
  min-width: 220px;
}
QMessageBox QPushButton {
  min-width: 72px;
  min-height: 26px;
}
QToolTip {
  background-color: @panel@;
  color: @text@;
  border: 1px solid @border@;
  padding: 4px;
}
)css";

constexpr std::string_view Hole(const Palette& p, std::string_view name) {
  if (name == "window") return p.window;
  if (name == "panel") return p.panel;
  if (name == "border") return p.border;
  if (name == "text") return p.text;
  if (name == "muted") return p.muted;
  if (name == "accent") return p.accent;
  if (name == "button") return p.button;
  if (name == "buttonHover") return p.buttonHover;
  if (name == "buttonPressed") return p.buttonPressed;
  if (name == "buttonBorder") return p.buttonBorder;
  if (name == "list") return p.list;
  if (name == "listText") return p.listText;
  if (name == "alternate") return p.alternate;
  if (name == "header") return p.header;
  if (name == "headerText") return p.headerText;
  if (name == "selection") return p.selection;
  if (name == "selectionText") return p.selectionText;
  if (name == "scrollHandle") return p.scrollHandle;
  if (name == "radius") return p.radius;
  throw "unknown hole in the skin layout";  // makes the blob fail to compile
}

constexpr std::size_t kBlobCapacity = 8192;

struct Blob {
  std::array<std::uint8_t, kBlobCapacity> bytes{};
  std::size_t size = 0;

  constexpr void put(std::uint8_t b) {
    if (size == kBlobCapacity) throw "skin blob capacity exceeded";
    bytes[size++] = b;
  }
  constexpr void put(std::string_view s) {
    for (char c : s) put(static_cast<std::uint8_t>(c));
  }
  constexpr void put32At(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
};

constexpr Blob Render(std::uint32_t skin, std::uint16_t variant, const Palette& p) {
  Blob b;
  b.put("LSKN");
  b.put(1);
  b.put(0);
  b.put(static_cast<std::uint8_t>(variant));
  b.put(static_cast<std::uint8_t>(variant >> 8));
  for (int i = 0; i < 8; ++i) b.put(0);
  b.put32At(8, skin);
  for (std::size_t i = 0; i < kLayout.size(); ++i) {
    if (kLayout[i] != '@') {
      b.put(static_cast<std::uint8_t>(kLayout[i]));
      continue;
    }
    const std::size_t end = kLayout.find('@', i + 1);
    if (end == std::string_view::npos) throw "unterminated hole in the skin layout";
    b.put(Hole(p, kLayout.substr(i + 1, end - i - 1)));
    i = end;
  }
  b.put32At(12, static_cast<std::uint32_t>(b.size - kSkinBlobHeaderSize));
  return b;
}

// A variant in other accent colours and corners.
constexpr Palette Accented(Palette p, std::string_view accent, std::string_view hover,
                           std::string_view pressed, std::string_view selection, std::string_view radius) {
  p.accent = accent;
  p.buttonHover = hover;
  p.buttonPressed = pressed;
  p.selection = selection;
  p.radius = radius;
  return p;
}

// 1: ocean, light blue tints.
constexpr Palette kOcean{"#e8f1fa", "#f6faff", "#bdd3ea", "#14304f", "#48678a", "#1d6fd6", "#ffffff",
                         "#e3eefb", "#cfe1f7", "#a9c4e4", "#ffffff", "#14304f", "#f3f8fe", "#deebf8",
                         "#14304f", "#cfe2fa", "#0b2545", "#b4cbe6", "6"};
// 2: light neutral, the window's own look.
constexpr Palette kNeutral{"#f3f4f6", "#fbfbfc", "#d8dce2", "#1f2328", "#5b6470", "#2f6feb", "#ffffff",
                           "#eef3fd", "#dce6fa", "#c9cfd8", "#ffffff", "#1f2328", "#f7f8fa", "#f0f2f5",
                           "#24292f", "#dbe8ff", "#0b1f44", "#c4cad3", "6"};
// 3: graphite, dark.
constexpr Palette kGraphite{"#1f2226", "#282c31", "#3a4048", "#e5e8ec", "#9aa4af", "#5aa0ff", "#30353c",
                            "#394049", "#2a2f35", "#454c55", "#24282d", "#e5e8ec", "#2a2e34", "#2c3137",
                            "#e5e8ec", "#2e5185", "#ffffff", "#4a525c", "6"};
// 4: bamboo, soft greens.
constexpr Palette kBamboo{"#edf5ee", "#f8fcf8", "#c3dbc7", "#1c3323", "#4e6b55", "#2e8b57", "#ffffff",
                          "#e4f2e7", "#d0e8d6", "#aacbb1", "#ffffff", "#1c3323", "#f4faf5", "#e2efe4",
                          "#1c3323", "#cdebd6", "#0f2a18", "#b3cfb8", "8"};
// 5: sand, warm paper tones.
constexpr Palette kSand{"#f6f0e6", "#fffaf2", "#e1d2bb", "#3a2e21", "#7a6650", "#c0632b", "#fffdf9",
                        "#fbeee0", "#f4dfc8", "#d8c4a6", "#fffdf9", "#3a2e21", "#fbf6ee", "#f1e7d7",
                        "#3a2e21", "#f6dcc2", "#3a2410", "#d9c6aa", "6"};
// 6: classic, square and high contrast.
constexpr Palette kClassic{"#e4e4e4", "#eeeeee", "#8a8a8a", "#000000", "#404040", "#0a3d91", "#f4f4f4",
                           "#dde6f5", "#c8d4ea", "#7a7a7a", "#ffffff", "#000000", "#f2f2f2", "#dcdcdc",
                           "#000000", "#0a3d91", "#ffffff", "#9a9a9a", "2"};

constexpr Blob kSkin1a = Render(1, 1, kOcean);
constexpr Blob kSkin1b = Render(1, 2, Accented(kOcean, "#0f8fb3", "#e0f3f8", "#c6e8f1", "#c6e8f1", "3"));
constexpr Blob kSkin2a = Render(2, 1, kNeutral);
constexpr Blob kSkin2b = Render(2, 2, Accented(kNeutral, "#0f8a7e", "#e6f5f3", "#cdebe7", "#d3efeb", "3"));
constexpr Blob kSkin3a = Render(3, 1, kGraphite);
constexpr Blob kSkin3b = Render(3, 2, Accented(kGraphite, "#f0a040", "#433a30", "#2f2a24", "#6b4a22", "3"));
constexpr Blob kSkin4a = Render(4, 1, kBamboo);
constexpr Blob kSkin4b = Render(4, 2, Accented(kBamboo, "#6b8e23", "#eef3df", "#dde8c4", "#e1ebc9", "3"));
constexpr Blob kSkin5a = Render(5, 1, kSand);
constexpr Blob kSkin5b = Render(5, 2, Accented(kSand, "#a0522d", "#f7e6dc", "#efd2c1", "#f0d6c6", "3"));
constexpr Blob kSkin6a = Render(6, 1, kClassic);
constexpr Blob kSkin6b = Render(6, 2, Accented(kClassic, "#8b0000", "#f2dede", "#e6c4c4", "#8b0000", "0"));

constexpr const Blob* kSkins[kBuiltInSkinCount][2] = {
    {&kSkin1a, &kSkin1b}, {&kSkin2a, &kSkin2b}, {&kSkin3a, &kSkin3b},
    {&kSkin4a, &kSkin4b}, {&kSkin5a, &kSkin5b}, {&kSkin6a, &kSkin6b},
};

}  // namespace

std::span<const std::uint8_t> BuiltInSkin(std::int32_t skin, std::int32_t variant) noexcept {
  if (skin < 1 || skin > kBuiltInSkinCount) return {};
  const Blob& blob = *kSkins[skin - 1][variant == 1 ? 0 : 1];
  return {blob.bytes.data(), blob.size};
}

std::optional<std::string_view> SkinStyleSheet(std::span<const std::uint8_t> blob) noexcept {
  if (blob.size() < kSkinBlobHeaderSize || blob.size() > kMaxSkinBlobSize) return std::nullopt;
  if (std::memcmp(blob.data(), "LSKN", 4) != 0) return std::nullopt;
  std::uint16_t version = 0;
  std::uint32_t length = 0;
  std::memcpy(&version, blob.data() + 4, 2);
  std::memcpy(&length, blob.data() + 12, 4);
  if (version != 1 || length != blob.size() - kSkinBlobHeaderSize) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(blob.data() + kSkinBlobHeaderSize);
  if (std::memchr(text, 0, length) != nullptr) return std::nullopt;
  return std::string_view(text, length);
}

}  // namespace lumbrin
