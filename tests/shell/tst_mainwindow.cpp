// The main window and the help window: start-up with its settings file, the monitor switch and
// the height rule, the keyboard, the help window's way back, the end button.

#include "serial/SerialComm.h"
#include "shell/Application.h"
#include "shell/Settings.h"
#include "shell/frmHelp.h"
#include "status/StatusRow.h"
#include "support/Scripted.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

class TestMainWindow : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedBoxes boxes_;
    ScriptedFileDialog dialog_;
    int ended_ = 0;
    std::unique_ptr<Application> app_;

    frmQ7310Flasher *start() {
        dialog_ = ScriptedFileDialog();
        ended_ = 0;
        app_ = std::make_unique<Application>(
            dir_.path(), FlasherSeams{&boxes_, &dialog_, nullptr, [this] { ++ended_; }});
        app_->showMainWindow();
        return app_->mainWindow();
    }
    // The window as far as the outside sees it, in one line.
    static QString shown(frmQ7310Flasher *w) {
        const int h = w->frameGeometry().height();
        return QStringLiteral("%1, monitor %2%3%4, %5 %6")
            .arg(h == Twips(3400)   ? "low"
                 : h == Twips(6420) ? "high"
                                    : QString::number(h))
            .arg(w->chkSSTestValue())
            .arg(w->Text1->isVisible() ? " shown" : "")
            .arg(w->Text1->isVisible() == w->Text2->isVisible() ? "" : " one box!")
            .arg(w->Panels[3]->text(), w->lblDatei->text());
    }

private Q_SLOTS:
    void cleanup() {
        app_.reset();
        QVERIFY(boxes_.answers.isEmpty());
        QFile::remove(SettingsFilePath(dir_.path()));
    }

    // The settings file's first line becomes LastHexFile, whatever its line end and encoding;
    // what cannot be read leaves it empty, without a word.
    void startUp() {
        const QList<std::pair<QByteArray, QString>> cases = {
            {"<none>", ""},
            {"", ""},
            {"<dir>", ""},
            {"/fw/q7310.a35\r\n/b.a35\r\n", "/fw/q7310.a35"},
            {"/gone/x.a35\n", "/gone/x.a35"},
            {"/fw/x.a35", "/fw/x.a35"},
            {QStringLiteral("/fw/Prüfung.a35\r\n").toLocal8Bit(),
             QStringLiteral("/fw/Prüfung.a35")}};
        for (const auto &[settings, lastHexFile] : cases) {
            const QString path = SettingsFilePath(dir_.path());
            QFile::remove(path);
            QDir(dir_.path()).rmdir(QStringLiteral("Q7310Flasher.cfg"));
            QFile f(path);
            if (settings == "<dir>")
                QVERIFY(QDir(dir_.path()).mkdir(QStringLiteral("Q7310Flasher.cfg")));
            if (!settings.startsWith('<') && f.open(QIODevice::WriteOnly)) f.write(settings);
            f.close();
            frmQ7310Flasher *w = start(); // no box may appear
            QCOMPARE(w->LastHexFile, lastHexFile);
            // The remembered path never selects a file by itself.
            QCOMPARE(shown(w), QStringLiteral("low, monitor 0, Com1 no File"));
            QCOMPARE(w->CD_01.FileName, QString());
        }
        QDir(dir_.path()).rmdir(QStringLiteral("Q7310Flasher.cfg"));
        frmQ7310Flasher *w = app_->mainWindow();
        QCOMPARE(w->Panels[0]->text(), QStringLiteral("Version: 1.7"));
        for (int n = 1; n <= 8; ++n)
            QCOMPARE(w->mnuComItems[n - 1]->isChecked(), n == 1);
        QVERIFY(!w->Timer1.isActive() && !w->Timer2.isActive() && !w->Timer3.isActive());
        QVERIFY(!w->Comm1.PortOpen());
        QCOMPARE(app_->state().FrameByte1, 250);
        QCOMPARE(w->focusWidget(), w->cmdLesen);
        QCOMPARE(Twips(7), 0); // rounded to the nearest pixel, also left of the window
        QCOMPARE(Twips(8), 1);
        QCOMPARE(Twips(-720), -48);
    }

    // Every way of working the switch shows what it says; the boxes keep their contents.
    void monitorSwitch() {
        frmQ7310Flasher *w = start();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->Text1->setPlainText(QStringLiteral("AA 55 "));
        w->Text2->setText(QStringLiteral("10 0 "));
        const QList<std::function<void()>> ways = {
            [w] { QTest::mouseClick(w->chkSSTest, Qt::LeftButton); },
            [w] { QTest::keyClick(w->chkSSTest, Qt::Key_Space); },
            [w] { w->chkSSTest->setChecked(!w->chkSSTest->isChecked()); },
            [w] {
                QAccessible::queryAccessibleInterface(w->chkSSTest)
                    ->actionInterface()
                    ->doAction(QAccessibleActionInterface::toggleAction());
            }};
        for (const auto &flip : ways) {
            for (bool on : {true, false}) {
                flip();
                QTRY_COMPARE(shown(w), on ? QStringLiteral("high, monitor 1 shown, Com1 no File")
                                          : QStringLiteral("low, monitor 0, Com1 no File"));
                // What is visible lies above the status bar, which stays at the bottom.
                QCOMPARE(w->StatusBar1->geometry().bottom(), w->height() - 1);
                for (QWidget *c : {(QWidget *)w->cmdLesen, (QWidget *)w->Text2})
                    if (c->isVisible())
                        QVERIFY(c->mapTo(w, QPoint(0, c->height())).y() <= w->StatusBar1->y());
            }
        }
        QCOMPARE(w->Text1->toPlainText(), QStringLiteral("AA 55 "));
        QCOMPARE(w->Text2->text(), QStringLiteral("10 0 "));
    }

    // Return and Enter press the focused button, as Space does.
    void enterPressesTheFocusedButton() {
        for (const QString button : {"cmdLesen", "cmdDatei", "cmdEnd", "Command4"}) {
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
                frmQ7310Flasher *w = start();
                w->mnuHelp->trigger();
                QPointer<frmHelp> help = app_->helpWindow();
                const QHash<QString, QPushButton *> buttons = {{"cmdLesen", w->cmdLesen},
                                                               {"cmdDatei", w->cmdDatei},
                                                               {"cmdEnd", w->cmdEnd},
                                                               {"Command4", help->Command4}};
                boxes_.answers = {MsgAnswer::OK}; // the run asks for a file, or for the port
                dialog_.choices = {QString()};
                QTest::keyClick(buttons[button], key);
                QCOMPARE(boxes_.shown.size(), int(button == "cmdLesen"));
                QCOMPARE(dialog_.opened, int(button == "cmdDatei"));
                QCOMPARE(ended_, int(button == "cmdEnd"));
                QTRY_COMPARE(help.isNull(), button == "Command4");
                boxes_.answers.clear();
                boxes_.shown.clear();
            }
        }
    }

    void helpWindow() {
        frmQ7310Flasher *w = start();
        w->mnuHelp->trigger();
        frmHelp *h = app_->helpWindow();
        QVERIFY(h && h->isVisible() && !h->isModal() && !h->parentWidget());
        w->mnuHelp->trigger();
        QCOMPARE(app_->helpWindow(), h); // one at most
        for (QPushButton *b : {h->Command1, h->Command2, h->Command3, h->Command5})
            QTest::mouseClick(b, Qt::LeftButton); // they only illustrate
        QCOMPARE(dialog_.opened + ended_ + w->chkSSTestValue(), 0);
        QVERIFY(h->close()); // the close box only closes it
        QTRY_VERIFY(!app_->helpWindow());
        QVERIFY(app_->mainWindow() == w && w->isVisible());
    }

    // Back to the same window as it was, or to one created anew in the start state.
    void backToProgram() {
        for (bool mainClosed : {false, true}) {
            QPointer<frmQ7310Flasher> w = start();
            w->mnuHelp->trigger();
            frmHelp *h = app_->helpWindow();
            w->CD_01.FileName = QStringLiteral("/fw/x.a35");
            w->lblDatei->setText(w->CD_01.FileName);
            w->mnuComItems[4]->trigger();
            w->chkSSTest->click();
            if (mainClosed) {
                QVERIFY(w->close());
                QTRY_VERIFY(!w);
            }
            QTest::mouseClick(h->Command4, Qt::LeftButton);
            QTRY_VERIFY(!app_->helpWindow());
            frmQ7310Flasher *now = app_->mainWindow();
            QVERIFY(now && now->isVisible());
            QCOMPARE(now == w.data(), !mainClosed);
            QTRY_COMPARE(shown(now), mainClosed
                                         ? QStringLiteral("low, monitor 0, Com1 no File")
                                         : QStringLiteral("high, monitor 1 shown, Com5 /fw/x.a35"));
            QCOMPARE(now->CD_01.FileName, mainClosed ? QString() : QStringLiteral("/fw/x.a35"));
        }
    }

    void comPortDevices() {
        QTemporaryDir d;
        QVERIFY(QFile::link(QStringLiteral("/dev/ttyUSB9"), d.filePath("com3"))); // dangling
        QCOMPARE(ComPortDevice(3, d.path()), d.filePath("com3"));
        QCOMPARE(ComPortDevice(1, d.path()), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(ComPortDevice(8, d.path()), QStringLiteral("/dev/ttyS7"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
