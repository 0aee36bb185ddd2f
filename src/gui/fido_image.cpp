// SPDX-License-Identifier: GPL-2.0-or-later
#include "gui/fido_image.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrel::gui {

QPixmap FidoEmblem(int width, int height) {
  QPixmap pixmap(width, height);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 47 x 49 grid and scaled to the requested size.
  painter.scale(width / 47.0, height / 49.0);

  // Envelope at the bottom.
  const QRectF envelope(6, 30, 35, 17);
  painter.setPen(QPen(QColor(0, 0, 128), 1.2));
  painter.setBrush(QColor(255, 255, 240));
  painter.drawRect(envelope);
  painter.drawLine(envelope.topLeft(), QPointF(envelope.center().x(), 40));
  painter.drawLine(envelope.topRight(), QPointF(envelope.center().x(), 40));

  // Head: a brown round face with a lighter muzzle and a drooping ear.
  const QColor fur(150, 90, 40);
  const QColor dark(90, 50, 20);
  painter.setPen(QPen(dark, 1.0));
  painter.setBrush(fur);
  painter.drawEllipse(QRectF(11, 4, 24, 24));
  QPainterPath ear;
  ear.moveTo(13, 7);
  ear.cubicTo(4, 6, 3, 20, 9, 24);
  ear.cubicTo(12, 20, 13, 14, 16, 10);
  ear.closeSubpath();
  painter.setBrush(dark);
  painter.drawPath(ear);
  QPainterPath right_ear;
  right_ear.moveTo(33, 7);
  right_ear.cubicTo(42, 6, 43, 20, 37, 24);
  right_ear.cubicTo(34, 20, 33, 14, 30, 10);
  right_ear.closeSubpath();
  painter.drawPath(right_ear);
  painter.setBrush(QColor(225, 190, 140));
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(QRectF(16, 15, 14, 11));

  // Eyes, nose and tongue.
  painter.setBrush(Qt::black);
  painter.drawEllipse(QRectF(17, 11, 3.5, 3.5));
  painter.drawEllipse(QRectF(25.5, 11, 3.5, 3.5));
  painter.drawEllipse(QRectF(20.5, 16, 5, 4));
  painter.setBrush(QColor(220, 60, 80));
  painter.drawEllipse(QRectF(21.5, 22, 3, 5));
  return pixmap;
}

}  // namespace kestrel::gui
