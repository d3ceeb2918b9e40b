#pragma once
// The window's command line: the service address and its TLS settings.
// The cookie is never taken here (command lines are visible to every user).

#include <QString>
#include <QStringList>

#include "gallery/host.h"

namespace lumbrin {

struct AppOptions {
  bool ok = false;      // false: `message` says what is wrong
  bool help = false;    // --help: `message` holds the usage text
  QString message;
  ServiceSettings service;
};

// `arguments` as QCoreApplication::arguments() gives them (program first).
// `defaultServiceUrl` is the build's address, used without --service.
[[nodiscard]] AppOptions ParseAppOptions(const QStringList& arguments, const QString& defaultServiceUrl);

}  // namespace lumbrin
