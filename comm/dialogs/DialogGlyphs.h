#pragma once
// Small pictures of the library's two dialogs, drawn in code so the library
// carries no image files of its own.
#include <QFont>
#include <QIcon>
#include <QPixmap>

namespace KelvorComm32::Glyphs {

QIcon OkGlyph();      // green tick
QIcon CancelGlyph();  // red cross
QIcon AboutGlyph();   // blue "i" in a circle
QIcon DefaultGlyph(); // circular arrow, with a greyed state for a disabled button
QPixmap PortPicture(); // 32 x 32 serial connector for the About box

// The dialogs' font: Tahoma 8 pt (11 pixels) where it exists, else the
// nearest sans-serif; CJK text falls back to whatever font has the glyphs.
QFont DialogFont();

} // namespace KelvorComm32::Glyphs
