#pragma once
// Stand-ins for the user: message boxes and a file dialog that answer from a script.

#include "shell/FileDialog.h"
#include "shell/MessageBox.h"

#include <QList>
#include <QTest>
#include <functional>

struct ShownBox {
    QString text;
    int style;
    QString title;
    bool operator==(const ShownBox &o) const {
        return text == o.text && style == o.style && title == o.title;
    }
};

inline char *toString(const ShownBox &b) {
    return QTest::toString(QStringLiteral("[%1 | %2 | %3]").arg(b.text).arg(b.style).arg(b.title));
}

class ScriptedBoxes : public MessageBoxes {
public:
    QList<int> answers;
    QList<ShownBox> shown;
    std::function<void(const ShownBox &)> whileOpen; // runs while the box is "open"

    int MsgBox(const QString &text, int style, const QString &title) override {
        shown.append({text, style, title});
        if (whileOpen) whileOpen(shown.last());
        if (answers.isEmpty()) {
            QTest::qFail(qPrintable(QStringLiteral("unexpected box: ") + text), __FILE__, __LINE__);
            return MsgAnswer::Cancel;
        }
        return answers.takeFirst();
    }
};

class ScriptedFileDialog : public FileDialog {
public:
    QList<QString> choices; // what FileName holds after each ShowOpen; a null string: cancel
    int opened = 0;
    QString filterSeen, initDirSeen, fileNameSeen;

    void ShowOpen() override {
        ++opened;
        filterSeen = Filter;
        initDirSeen = InitDir;
        fileNameSeen = FileName;
        if (choices.isEmpty()) {
            QTest::qFail("unexpected file dialog", __FILE__, __LINE__);
            return;
        }
        const QString choice = choices.takeFirst();
        if (!choice.isNull()) FileName = choice;
    }
};
