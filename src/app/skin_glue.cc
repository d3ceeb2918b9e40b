#include "app/skin_glue.h"

#include <QApplication>
#include <QString>
#include <string_view>

#include "skin/skin_engine.h"

namespace lumbrin {

void InstallSkinStyleApplier() {
  SetSkinStyleApplier([](std::string_view sheet) {
    if (qApp == nullptr) return false;
    qApp->setStyleSheet(QString::fromUtf8(sheet.data(), static_cast<qsizetype>(sheet.size())));
    return true;
  });
}

}  // namespace lumbrin
