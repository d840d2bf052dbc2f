#include "tool/qt/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap Blank() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

}  // namespace

QIcon GlobeIcon() {
  QPixmap pixmap = Blank();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF ball(1.5, 1.5, 13, 13);
  QRadialGradient sea(QPointF(6, 5), 10);
  sea.setColorAt(0, QColor(120, 190, 255));
  sea.setColorAt(1, QColor(20, 90, 190));
  p.setBrush(sea);
  p.setPen(QPen(QColor(10, 50, 120), 1));
  p.drawEllipse(ball);
  // Meridians and parallels.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(230, 245, 255), 0.8));
  p.drawEllipse(QRectF(5, 1.5, 6, 13));
  p.drawLine(QPointF(8, 1.5), QPointF(8, 14.5));
  p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
  p.drawLine(QPointF(2.8, 4.8), QPointF(13.2, 4.8));
  p.drawLine(QPointF(2.8, 11.2), QPointF(13.2, 11.2));
  return QIcon(pixmap);
}

QIcon ConnectorIcon() {
  QPixmap pixmap = Blank();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  // The cable, leaving the connector downwards.
  p.setPen(QPen(QColor(60, 60, 60), 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8, 10), QPointF(8, 15));
  // The D-shaped shell.
  QPainterPath shell;
  shell.moveTo(1, 2);
  shell.lineTo(15, 2);
  shell.lineTo(13, 9);
  shell.lineTo(3, 9);
  shell.closeSubpath();
  QLinearGradient metal(0, 2, 0, 9);
  metal.setColorAt(0, QColor(225, 225, 225));
  metal.setColorAt(1, QColor(140, 140, 140));
  p.setBrush(metal);
  p.setPen(QPen(QColor(50, 50, 50), 1));
  p.drawPath(shell);
  // Five pins above, four below.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(30, 30, 30));
  for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(3.6 + i * 2.2, 4.4), 0.75, 0.75);
  for (int i = 0; i < 4; ++i) p.drawEllipse(QPointF(4.7 + i * 2.2, 6.8), 0.75, 0.75);
  return QIcon(pixmap);
}
