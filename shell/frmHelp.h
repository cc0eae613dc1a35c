#pragma once
// The help window: how to put the Q7310 into its programming mode, and what the main window's
// controls do. The buttons on the left only illustrate.

#include <QWidget>

class QLabel;
class QPushButton;

class frmHelp : public QWidget {
    Q_OBJECT
public:
    explicit frmHelp(QWidget *parent = nullptr);

    void Command4_Click();

    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7, *Label8;
    QPushButton *Command1, *Command2, *Command3, *Command4, *Command5;

signals:
    // "Zurück zum Programm": the main window is to be shown (created anew if it was closed).
    void backToProgram();
};
