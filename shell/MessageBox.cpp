#include "shell/MessageBox.h"

#include <QMessageBox>
#include <QPushButton>

int QtMessageBoxes::MsgBox(const QString &text, int style, const QString &title) {
    QMessageBox box(parent_);
    box.setWindowTitle(title);
    box.setText(text);
    box.setIcon((style & 16) ? QMessageBox::Critical : QMessageBox::NoIcon);
    if ((style & 7) == 5) {
        QPushButton *retry = box.addButton(QStringLiteral("Wiederholen"), QMessageBox::AcceptRole);
        QPushButton *cancel = box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
        box.setDefaultButton(retry);
        box.setEscapeButton(cancel);
        box.exec();
        return box.clickedButton() == retry ? MsgAnswer::Retry : MsgAnswer::Cancel;
    }
    QPushButton *ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return MsgAnswer::OK;
}
