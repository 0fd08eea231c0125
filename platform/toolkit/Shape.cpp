#include "platform/toolkit/Shape.h"

#include <QPainter>

TShape::TShape(QWidget* Parent) : QWidget(Parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void TShape::fSetBrushColor(const QColor& Value)
{
    if (Value == FBrushColor)
        return;
    FBrushColor = Value;
    update();
}

void TShape::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(FBrushColor);
    // The largest circle that fits, inside the one-pixel pen.
    const int side = qMin(width(), height()) - 1;
    p.drawEllipse(QRectF((width() - side) / 2.0, (height() - side) / 2.0, side, side));
}
