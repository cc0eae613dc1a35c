#pragma once
// The message boxes of the window: modal, with German buttons.

#include "protocol/MessageBoxes.h"

class QWidget;

class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget *parent) : parent_(parent) {}
    int MsgBox(const QString &text, int style, const QString &title) override;

private:
    QWidget *parent_;
};
