#pragma once
// A combo box that says when its list is about to open, so the list can be
// built anew from what the system has at that moment.
#include <QComboBox>

class TPopupComboBox : public QComboBox {
    Q_OBJECT

public:
    using QComboBox::QComboBox;
    void showPopup() override;

signals:
    void aboutToShowPopup();
};

// Widens a combo box's open list to its longest entry, so no entry is cut
// short, while the closed box keeps its designed width.
void FitPopupWidth(QComboBox* Box);
