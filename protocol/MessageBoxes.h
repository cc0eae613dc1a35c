#pragma once
// The one way a run asks its user: a box with a text, a style and a title, answered with the
// button chosen. The window shows it, the command line answers it by a policy, tests script it.

#include <QString>
#include <QtGlobal>

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
