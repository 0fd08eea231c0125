#include "comm/dialogs/DialogLook.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStringList>

namespace KelvorComm32::Look {

namespace {

constexpr int kGlyph = 16;

QPixmap blank(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    return pm;
}

QPixmap tick(const QColor& colour)
{
    QPixmap pm = blank(kGlyph);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(3, 8.5), QPointF(6.5, 12), QPointF(13, 4)}));
    return pm;
}

QPixmap cross(const QColor& colour)
{
    QPixmap pm = blank(kGlyph);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4, 4), QPointF(12, 12));
    p.drawLine(QPointF(12, 4), QPointF(4, 12));
    return pm;
}

QPixmap info(const QColor& colour)
{
    QPixmap pm = blank(kGlyph);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(7, 3.5, 2.2, 2.2));
    p.drawRect(QRectF(7, 7, 2.2, 5.5));
    return pm;
}

QPixmap circularArrow(const QColor& colour)
{
    QPixmap pm = blank(kGlyph);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    // Three quarters of a circle, opening at the top right.
    p.drawArc(QRectF(2.5, 2.5, 11, 11), 60 * 16, 270 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({QPointF(9, 1), QPointF(14.5, 3.5), QPointF(10, 7.5)}));
    return pm;
}

} // namespace

QIcon OkGlyph() { return QIcon(tick(QColor(0, 140, 0))); }
QIcon CancelGlyph() { return QIcon(cross(QColor(200, 0, 0))); }
QIcon AboutGlyph() { return QIcon(info(QColor(0, 70, 200))); }

QIcon DefaultGlyph()
{
    QIcon icon;
    icon.addPixmap(circularArrow(QColor(0, 110, 160)), QIcon::Normal);
    icon.addPixmap(circularArrow(QColor(150, 150, 150)), QIcon::Disabled);
    return icon;
}

QPixmap PortPicture()
{
    QPixmap pm = blank(32);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // A nine-pin D connector seen from the front.
    QPainterPath shell;
    shell.moveTo(2, 9);
    shell.lineTo(30, 9);
    shell.lineTo(26, 23);
    shell.lineTo(6, 23);
    shell.closeSubpath();
    p.setPen(QPen(QColor(64, 64, 64), 1.5));
    p.setBrush(QColor(192, 192, 192));
    p.drawPath(shell);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 128));
    for (int i = 0; i < 5; ++i)
        p.drawEllipse(QPointF(7.0 + i * 4.5, 13.5), 1.5, 1.5);
    for (int i = 0; i < 4; ++i)
        p.drawEllipse(QPointF(9.25 + i * 4.5, 18.5), 1.5, 1.5);
    // The cable leaving the connector.
    p.setPen(QPen(QColor(0, 128, 128), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, 23), QPointF(16, 30));
    p.drawLine(QPointF(16, 2), QPointF(16, 9));
    return pm;
}

QFont DialogFont()
{
    QFont f;
    f.setFamilies(QStringList{QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                              QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Zen Hei")});
    f.setPixelSize(11);
    return f;
}

void FitLabel(QLabel* Label, int MaxWidth)
{
    QFont f = Label->font();
    f.setStretch(QFont::Unstretched);
    Label->setFont(f);
    Label->adjustSize();
    for (int stretch = 95; Label->width() > MaxWidth && stretch >= 65; stretch -= 5) {
        f.setStretch(stretch);
        Label->setFont(f);
        Label->adjustSize();
    }
    if (Label->width() > MaxWidth)
        Label->resize(MaxWidth, Label->height());
}

} // namespace KelvorComm32::Look
