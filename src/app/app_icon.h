#pragma once
// The 64 x 64 picture of the window and of its tray icon, drawn by the
// program itself (nothing is loaded from disk).

#include <QIcon>
#include <QImage>

namespace lumbrin {

// GUI thread (needs a QGuiApplication).
[[nodiscard]] QImage MakeAppIconImage();
[[nodiscard]] QIcon MakeAppIcon();

}  // namespace lumbrin
