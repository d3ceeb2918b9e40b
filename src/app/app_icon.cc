#include "app/app_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace lumbrin {

// A framed landscape picture: sky, sun and two hills on a rounded card, read
// at tray size as "photos".
QImage MakeAppIconImage() {
  QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  const QRectF card(3, 3, 58, 58);
  QPainterPath cardPath;
  cardPath.addRoundedRect(card, 10, 10);
  p.fillPath(cardPath, QColor(0xFF, 0xFF, 0xFF));
  p.setPen(QPen(QColor(0x2D, 0x5B, 0x8C), 2.5));
  p.drawPath(cardPath);

  const QRectF photo(9, 9, 46, 46);
  QPainterPath photoPath;
  photoPath.addRoundedRect(photo, 6, 6);
  p.save();
  p.setClipPath(photoPath);
  QLinearGradient sky(photo.topLeft(), photo.bottomLeft());
  sky.setColorAt(0, QColor(0x6F, 0xB8, 0xF0));
  sky.setColorAt(1, QColor(0xC9, 0xE8, 0xFF));
  p.fillRect(photo, sky);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xFF, 0xC8, 0x3D));
  p.drawEllipse(QPointF(41, 21), 6, 6);
  QPainterPath back;
  back.moveTo(9, 48);
  back.cubicTo(20, 28, 30, 30, 44, 42);
  back.lineTo(55, 55);
  back.lineTo(9, 55);
  back.closeSubpath();
  p.fillPath(back, QColor(0x4C, 0xA6, 0x6B));
  QPainterPath front;
  front.moveTo(22, 55);
  front.cubicTo(32, 38, 44, 36, 55, 44);
  front.lineTo(55, 55);
  front.closeSubpath();
  p.fillPath(front, QColor(0x2E, 0x7D, 0x4F));
  p.restore();
  p.end();
  return image;
}

QIcon MakeAppIcon() { return QIcon(QPixmap::fromImage(MakeAppIconImage())); }

}  // namespace lumbrin
