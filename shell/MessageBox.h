#pragma once
// Every message box of the program goes through here, so a test can answer in the user's place.

#include <QString>
#include <QtGlobal>

class QWidget;

namespace MsgStyle {
constexpr int OkOnly = 0;         // OK, no icon
constexpr int Critical = 16;      // critical icon, OK
constexpr int CriticalRetry = 21; // critical icon, Retry and Cancel
} // namespace MsgStyle

namespace MsgAnswer {
constexpr int OK = 1;
constexpr int Cancel = 2;
constexpr int Retry = 4;
} // namespace MsgAnswer

class MessageBoxes {
public:
    MessageBoxes() = default;
    virtual ~MessageBoxes() = default;
    Q_DISABLE_COPY_MOVE(MessageBoxes)
    // Shows a modal box and returns the button chosen.
    virtual int MsgBox(const QString &text, int style, const QString &title) = 0;
};

class QtMessageBoxes : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget *parent) : parent_(parent) {}
    int MsgBox(const QString &text, int style, const QString &title) override;

private:
    QWidget *parent_;
};
