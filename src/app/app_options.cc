#include "app/app_options.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QUrl>

namespace lumbrin {

AppOptions ParseAppOptions(const QStringList& arguments, const QString& defaultServiceUrl) {
  AppOptions result;
  QCommandLineParser parser;
  parser.setApplicationDescription(QString::fromUtf8("Lumbrin: 导出云相册中的全部图片"));
  const QCommandLineOption helpOption(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                      QString::fromUtf8("显示本帮助"));
  const QCommandLineOption serviceOption(QStringLiteral("service"),
                                         QString::fromUtf8("服务的基地址（scheme://host[:port]）"),
                                         QStringLiteral("URL"));
  const QCommandLineOption caOption(QStringLiteral("ca-file"), QString::fromUtf8("额外信任的 CA 证书（PEM）"),
                                    QStringLiteral("PEM"));
  const QCommandLineOption insecureOption(QStringLiteral("insecure"), QString::fromUtf8("不校验服务的证书"));
  parser.addOption(helpOption);
  parser.addOption(serviceOption);
  parser.addOption(caOption);
  parser.addOption(insecureOption);
  if (!parser.parse(arguments)) {
    result.message = parser.errorText();
    return result;
  }
  if (parser.isSet(helpOption)) {
    result.ok = true;
    result.help = true;
    result.message = parser.helpText();
    return result;
  }
  if (!parser.positionalArguments().isEmpty()) {
    result.message = QString::fromUtf8("多余的参数：") + parser.positionalArguments().join(QLatin1Char(' '));
    return result;
  }

  QString base = parser.isSet(serviceOption) ? parser.value(serviceOption) : defaultServiceUrl;
  while (base.endsWith(QLatin1Char('/'))) base.chop(1);
  const QUrl url(base, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
      url.host().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment() ||
      !url.userInfo().isEmpty()) {
    result.message = QString::fromUtf8("服务地址无效：") + base;
    return result;
  }
  result.service.baseUrl = base.toStdString();

  if (parser.isSet(caOption)) {
    const QString ca = parser.value(caOption);
    if (!QFileInfo(ca).isFile()) {
      result.message = QString::fromUtf8("找不到证书文件：") + ca;
      return result;
    }
    result.service.caFile = QFileInfo(ca).absoluteFilePath().toStdString();
  }
  result.service.insecure = parser.isSet(insecureOption);
  result.ok = true;
  return result;
}

}  // namespace lumbrin
