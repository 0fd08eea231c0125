#pragma once
// A shape control: a filled circle in its brush colour (the port lamp).
#include <QColor>
#include <QWidget>

class TShape : public QWidget {
public:
    explicit TShape(QWidget* Parent = nullptr);

    QColor BrushColor() const { return FBrushColor; }
    void fSetBrushColor(const QColor& Value);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    QColor FBrushColor = Qt::white;
};
