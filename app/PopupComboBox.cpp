#include "app/PopupComboBox.h"

#include <QAbstractItemView>
#include <QScrollBar>
#include <QStyle>

void TPopupComboBox::showPopup()
{
    emit aboutToShowPopup();
    QComboBox::showPopup();
}

void FitPopupWidth(QComboBox* Box)
{
    QAbstractItemView* view = Box->view();
    const QFontMetrics metrics(view->font());
    int widest = 0;
    for (int i = 0; i < Box->count(); ++i)
        widest = std::max(widest, metrics.horizontalAdvance(Box->itemText(i)));
    // Room for the item's own margins, the frame and a scroll bar.
    const int margins = 2 * view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 16;
    const int frame = 2 * view->frameWidth();
    const int scroll = view->verticalScrollBar()->sizeHint().width();
    view->setTextElideMode(Qt::ElideNone);
    view->setMinimumWidth(std::max(Box->width(), widest + margins + frame + scroll));
}
