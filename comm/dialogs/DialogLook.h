#pragma once
// Look of the library's two dialogs: their font, a way to keep a label
// inside its room, and small pictures drawn in code so the library carries
// no image files of its own.
#include <QFont>
#include <QIcon>
#include <QPixmap>

class QLabel;

namespace KelvorComm32::Look {

QIcon OkGlyph();      // green tick
QIcon CancelGlyph();  // red cross
QIcon AboutGlyph();   // blue "i" in a circle
QIcon DefaultGlyph(); // circular arrow, with a greyed state for a disabled button
QPixmap PortPicture(); // 32 x 32 serial connector for the About box

// The dialogs' font: Tahoma 8 pt (11 pixels) where it exists, else the
// nearest sans-serif; CJK text falls back to whatever font has the glyphs.
QFont DialogFont();

// Sizes the label to its text; a text wider than MaxWidth is drawn narrower
// (down to about two thirds) and clipped beyond that, so it never runs
// under the control beside it.
void FitLabel(QLabel* Label, int MaxWidth);

} // namespace KelvorComm32::Look
