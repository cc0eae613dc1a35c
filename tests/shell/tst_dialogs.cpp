// The real message box and file dialog behind the seams: buttons, icons and answers as the
// program relies on them. Each dialog is answered from a timer while it runs modally.

#include "shell/FileDialog.h"
#include "shell/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

namespace {

// Runs act on the next modal dialog as soon as it is shown.
void whenModal(std::function<void(QWidget *)> act) {
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        }
    });
    timer->start();
}

QStringList buttonTexts(QMessageBox *box) {
    QStringList texts;
    for (QAbstractButton *b : box->buttons())
        texts << b->text();
    texts.sort();
    return texts;
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void messageBoxes_data() {
        QTest::addColumn<int>("style");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("defaultButton");
        QTest::addColumn<QString>("press"); // empty: Escape
        QTest::addColumn<int>("answer");
        QTest::newRow("0: OK only") << 0 << QStringList{"OK"} << int(QMessageBox::NoIcon) << "OK"
                                    << "OK" << MsgAnswer::OK;
        QTest::newRow("16: critical, OK")
            << 16 << QStringList{"OK"} << int(QMessageBox::Critical) << "OK"
            << "OK" << MsgAnswer::OK;
        QTest::newRow("21: Retry") << 21 << QStringList{"Abbrechen", "Wiederholen"}
                                   << int(QMessageBox::Critical) << "Wiederholen"
                                   << "Wiederholen" << MsgAnswer::Retry;
        QTest::newRow("21: Cancel") << 21 << QStringList{"Abbrechen", "Wiederholen"}
                                    << int(QMessageBox::Critical) << "Wiederholen"
                                    << "Abbrechen" << MsgAnswer::Cancel;
        QTest::newRow("21: Escape cancels") << 21 << QStringList{"Abbrechen", "Wiederholen"}
                                            << int(QMessageBox::Critical) << "Wiederholen"
                                            << "" << MsgAnswer::Cancel;
    }
    void messageBoxes() {
        QFETCH(int, style);
        QFETCH(QStringList, buttons);
        QFETCH(int, icon);
        QFETCH(QString, defaultButton);
        QFETCH(QString, press);
        QFETCH(int, answer);
        QWidget parent;
        QtMessageBoxes boxes(&parent);
        QStringList seenButtons;
        int seenIcon = -1;
        QString seenTitle, seenText, seenDefault;
        whenModal([&](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box) return;
            seenButtons = buttonTexts(box);
            seenIcon = int(box->icon());
            seenTitle = box->windowTitle();
            seenText = box->text();
            seenDefault = box->defaultButton() ? box->defaultButton()->text() : QString();
            if (press.isEmpty()) {
                QTest::keyClick(box, Qt::Key_Escape);
                return;
            }
            for (QAbstractButton *b : box->buttons())
                if (b->text() == press) b->click();
        });
        const int got = boxes.MsgBox(QStringLiteral("Datenübertragungsfehler"), style,
                                     QStringLiteral("Fehler"));
        QCOMPARE(got, answer);
        QCOMPARE(seenButtons, buttons);
        QCOMPARE(seenIcon, icon);
        QCOMPARE(seenDefault, defaultButton);
        QCOMPARE(seenTitle, QStringLiteral("Fehler"));
        QCOMPARE(seenText, QStringLiteral("Datenübertragungsfehler"));
    }

    void fileDialog_data() {
        QTest::addColumn<bool>("accept");
        QTest::newRow("a file is chosen") << true;
        QTest::newRow("cancel keeps the name") << false;
    }
    void fileDialog() {
        QFETCH(bool, accept);
        QTemporaryDir dir;
        const QString chosen = dir.filePath(QStringLiteral("q7310.a35"));
        QFile(chosen).open(QIODevice::WriteOnly);
        QtFileDialog dialog(nullptr);
        dialog.Filter = QStringLiteral("Hex-Files(*.a35)|*.a35");
        dialog.FileName = QStringLiteral("/old/remembered.a35");
        QStringList filters;
        whenModal([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            if (!fd) return;
            filters = fd->nameFilters();
            if (!accept) {
                fd->reject();
                return;
            }
            auto *name = fd->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            name->setText(chosen); // as the user types it
            QTest::keyClick(name, Qt::Key_Return);
        });
        dialog.ShowOpen();
        QCOMPARE(filters, QStringList{QStringLiteral("Hex-Files(*.a35)")});
        QCOMPARE(dialog.FileName,
                 accept ? QDir::toNativeSeparators(chosen) : QStringLiteral("/old/remembered.a35"));
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
