// The shell: start-up with its settings file, the monitor switch and the height rule, the
// keyboard, the help window and its way back, the file button with its settings file wherever
// they live, the port menu, Qt's own dialogs in German.

#include "config/PortNames.h"
#include "config/Settings.h"
#include "config/Translations.h"
#include "serial/SerialComm.h"
#include "shell/Application.h"
#include "shell/FileDialog.h"
#include "shell/frmHelp.h"
#include "status/StatusRow.h"
#include "support/Scripted.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

struct Choosing {
    QByteArray remembered;  // the settings file at start-up
    QList<QString> choices; // what each dialog leaves; null: cancelled
    QList<QString> presets; // FileName as each dialog opened
    QString label;
    QByteArray settings; // afterwards
};
} // namespace

class TestShell : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedBoxes boxes_;
    std::unique_ptr<ScriptedFileDialog> dialog_;
    int ended_ = 0;
    std::unique_ptr<Application> app_;

    // A new start with this settings file ("<dir>": a directory in its place).
    frmQ7310Flasher *start(const QByteArray &settings = {}) {
        app_.reset();
        const QString path = SettingsFilePath(dir_.path());
        QFile::remove(path);
        QDir(dir_.path()).rmdir(QStringLiteral("Q7310Flasher.cfg"));
        QFile f(path);
        if (settings == "<dir>")
            QDir(dir_.path()).mkdir(QStringLiteral("Q7310Flasher.cfg"));
        else if (!settings.isEmpty() && f.open(QIODevice::WriteOnly))
            f.write(settings);
        f.close();
        dialog_ = std::make_unique<ScriptedFileDialog>();
        ended_ = 0;
        app_ = std::make_unique<Application>(dir_.path(),
                                             FlasherSeams{.boxes = &boxes_,
                                                          .fileDialog = dialog_.get(),
                                                          .terminate = [this] { ++ended_; }});
        app_->showMainWindow();
        return app_->mainWindow();
    }
    // The window as far as the outside sees it, in one line.
    static QString shown(frmQ7310Flasher *w) {
        const int h = w->frameGeometry().height();
        return QStringLiteral("%1, monitor %2%3%4, %5 %6")
            .arg(h == 227   ? "low"
                 : h == 428 ? "high"
                            : QString::number(h)) // 3400, 6420 twips
            .arg(w->chkSSTestValue())
            .arg(w->Text1->isVisible() ? " shown" : "")
            .arg(w->Text1->isVisible() == w->Text2->isVisible() ? "" : " one box!")
            .arg(w->Panels[3]->text(), w->lblDatei->text());
    }

private Q_SLOTS:
    void init() { dialog_ = std::make_unique<ScriptedFileDialog>(); }
    void cleanup() {
        app_.reset();
        QVERIFY(boxes_.answers.isEmpty());
    }

    // The settings file's first line becomes LastHexFile (the fuzzer tries every content); a
    // missing or unreadable file leaves it empty, without a word. Nothing is selected yet.
    void startUp() {
        for (const auto &[settings, lastHexFile] : {std::pair<QByteArray, QString>{"", ""},
                                                    {"<dir>", ""},
                                                    {"/fw/q7310.a35\r\n", "/fw/q7310.a35"}}) {
            frmQ7310Flasher *w = start(settings); // no box may appear
            QCOMPARE(w->LastHexFile, lastHexFile);
            QCOMPARE(shown(w), QStringLiteral("low, monitor 0, Com1 no File"));
            QCOMPARE(w->CD_01.FileName, QString());
        }
        frmQ7310Flasher *w = app_->mainWindow();
        // The window shows the version the project is built as.
        QCOMPARE(w->Panels[0]->text(), QStringLiteral("Version: " Q7310_VERSION));
        for (int n = 1; n <= 8; ++n)
            QCOMPARE(w->mnuComItems[n - 1]->isChecked(), n == 1);
        QVERIFY(!w->Timer1.isActive() && !w->Timer2.isActive() && !w->Timer3.isActive());
        QVERIFY(!w->Comm1.PortOpen());
        QCOMPARE(w->focusWidget(), w->cmdLesen);
        QTest::keyClick(w->cmdLesen, Qt::Key_Tab); // then "Datei"
        QCOMPARE(w->focusWidget(), w->cmdDatei);
        QVERIFY(!w->chkSSTest->icon().isNull()); // the eyes, no caption
        // The controls lie side by side, within the window and none over another.
        const QList<QWidget *> row = {w->Image7,   w->Image1,   w->Image5, w->lblDatei, w->PBLesen,
                                      w->cmdDatei, w->cmdLesen, w->cmdEnd, w->chkSSTest};
        for (QWidget *a : row) {
            QVERIFY(a == w->Image7 || w->centralWidget()->rect().contains(a->geometry()));
            for (QWidget *b : row)
                QVERIFY(a == b || !a->geometry().intersects(b->geometry()));
        }
        QCOMPARE(w->Image7->x(), -48); // -720 twips: rounded to the nearest pixel, also left of 0
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

    // Return and Enter press the focused button, as Space does; the monitor switch too.
    void enterPressesTheFocusedButton() {
        for (const QString button : {"cmdLesen", "cmdDatei", "cmdEnd", "chkSSTest", "Command4"}) {
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
                frmQ7310Flasher *w = start();
                w->mnuHelp->trigger();
                QPointer<frmHelp> help = app_->helpWindow();
                const QHash<QString, QPushButton *> buttons = {{"cmdLesen", w->cmdLesen},
                                                               {"cmdDatei", w->cmdDatei},
                                                               {"cmdEnd", w->cmdEnd},
                                                               {"chkSSTest", w->chkSSTest},
                                                               {"Command4", help->Command4}};
                boxes_.answers = {MsgAnswer::OK}; // the run asks for a file, or for the port
                dialog_->choices = {QString()};
                QTest::keyClick(buttons[button], key);
                QCOMPARE(boxes_.shown.size(), int(button == "cmdLesen"));
                QCOMPARE(dialog_->opened, int(button == "cmdDatei"));
                QCOMPARE(ended_, int(button == "cmdEnd"));
                QCOMPARE(w->chkSSTest->isChecked(), button == "chkSSTest");
                QTRY_COMPARE(help.isNull(), button == "Command4");
                boxes_.answers.clear();
                boxes_.shown.clear();
            }
        }
    }

    // One help window at most; its left column only illustrates; "Zurück zum Programm" shows
    // the main window as it was, or creates it anew in the start state.
    void helpWindow() {
        for (bool mainClosed : {false, true}) {
            QPointer<frmQ7310Flasher> w = start();
            w->mnuHelp->trigger();
            frmHelp *h = app_->helpWindow();
            QVERIFY(h && h->isVisible() && !h->isModal() && !h->parentWidget());
            w->mnuHelp->trigger();
            QCOMPARE(app_->helpWindow(), h);
            for (QPushButton *b : {h->Command1, h->Command2, h->Command3, h->Command5})
                QTest::mouseClick(b, Qt::LeftButton);
            QCOMPARE(dialog_->opened + ended_ + w->chkSSTestValue(), 0);
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

    void choosing_data() {
        QTest::addColumn<Choosing>("c");
        const QString cancel, a = "/fw/a.a35", b = "/fw/b.a35", old = "/old/a.a35",
                              umlaut = "/fw/Prüfung.a35";
        // clang-format off
        QTest::newRow("cancel with nothing chosen") << Choosing{{}, {cancel}, {""}, "No File", "<missing>"};
        QTest::newRow("empty selection") << Choosing{{}, {""}, {""}, "No File", "<missing>"};
        QTest::newRow("second choice replaces the first") << Choosing{{}, {a, b}, {"", a}, b, "/fw/b.a35\r\n"};
        QTest::newRow("local 8-bit") << Choosing{{}, {umlaut}, {""}, umlaut, (umlaut + "\r\n").toLocal8Bit()};
        // Cancel keeps the current choice, not the one remembered at start-up.
        QTest::newRow("remembered path, choice, cancel") << Choosing{"/old/a.a35\r\n/old/z.a35\r\n", {b, cancel}, {old, b}, b, "/fw/b.a35\r\n"};
        QTest::newRow("remembered path, cancel: the remembered file") << Choosing{"/old/a.a35\r\n", {cancel}, {old}, old, "/old/a.a35\r\n"};
        // clang-format on
    }
    void choosing() {
        QFETCH(Choosing, c);
        frmQ7310Flasher *w = start(c.remembered);
        dialog_->choices = c.choices;
        QList<QString> presets;
        for (int i = 0; i < c.choices.size(); ++i) {
            QTest::mouseClick(w->cmdDatei, Qt::LeftButton);
            presets << dialog_->fileNameSeen;
            QCOMPARE(dialog_->filterSeen, QStringLiteral("Hex-Files(*.a35)|*.a35"));
            QCOMPARE(dialog_->initDirSeen,
                     c.remembered.isEmpty() ? QStringLiteral("c:\\") : QString());
        }
        QCOMPARE(presets, c.presets);
        QCOMPARE(w->lblDatei->text(), c.label);
        QCOMPARE(w->CD_01.FileName, c.label == "No File" ? QString() : c.label);
        QCOMPARE(readAll(SettingsFilePath(dir_.path())), c.settings);
    }

    // Ports present above Com8 (Windows numbers USB adapters from COM10) follow Com8 in the
    // menu, in order, as the menu opens; one is chosen like the others, the run opens it, and it
    // stays in the menu while it is chosen, also when its adapter is out.
    void portsAboveEight() {
        QList<PortFacts> present;
        auto port = [](const QString &name) {
            return PortFacts{"\\\\.\\" + name, name, {}, {}, {}, -1, -1, -1};
        };
        dialog_ = std::make_unique<ScriptedFileDialog>();
        app_ = std::make_unique<Application>(
            dir_.path(),
            FlasherSeams{.boxes = &boxes_, .fileDialog = dialog_.get(), .systemPorts = [&] {
                             return present;
                         }});
        app_->showMainWindow();
        frmQ7310Flasher *w = app_->mainWindow();
        auto entries = [w] {
            emit w->mnuCom->aboutToShow();
            QStringList texts;
            for (QAction *a : w->mnuCom->actions())
                texts << a->text().remove('&') + (a->isChecked() ? "*" : "");
            return texts.join(' ');
        };
        const QString eight = "Com2 Com3 Com4 Com5 Com6 Com7 Com8";
        QCOMPARE(entries(), "Com1* " + eight);
        present = {port("COM12"), port("COM3"), port("COM10"), port("ttyUSB0")};
        QCOMPARE(entries(), "Com1* " + eight + " Com10 Com12");
        w->mnuComMore.value(12)->trigger();
        QCOMPARE(entries(), "Com1 " + eight + " Com10 Com12*");
        QCOMPARE(w->Panels[3]->text(), QStringLiteral("Com12"));
        boxes_.answers = {MsgAnswer::OK}; // no file chosen
        w->cmdLesen_Click();
        QCOMPARE(w->Comm1.CommPort, 12);
        present = {port("COM15")};
        QCOMPARE(entries(), "Com1 " + eight + " Com12* Com15");
        w->mnuComItems[2]->trigger();
        QCOMPARE(entries(), "Com1 Com2 Com3* Com4 Com5 Com6 Com7 Com8 Com15");
        QCOMPARE(ComPortsAboveEight({port("COM9"), port("com11"), port("ttyS9"), port("COM9")}),
                 (QList<int>{9, 11}));
    }

    // A path too long for the label gives way in the middle: the file's name stays in sight, and
    // the whole path is in the label's tooltip. A file given when the program starts is chosen
    // as the file button would leave it.
    void longPathShowsItsName() {
        frmQ7310Flasher *w = start();
        const QString path = "/home/user/Dokumente/Firmware/Kunden/Werk 3/Prüfstand 12/" +
                             QString(40, 'x') + "/q7310_v2.1.a35";
        w->chooseFile(path);
        QCOMPARE(w->CD_01.FileName, path);
        QVERIFY2(w->lblDatei->text().contains(QChar(0x2026)) &&
                     w->lblDatei->text().endsWith("q7310_v2.1.a35") &&
                     w->lblDatei->text().startsWith("/home"),
                 qPrintable(w->lblDatei->text()));
        QVERIFY(w->lblDatei->fontMetrics().horizontalAdvance(w->lblDatei->text()) <=
                w->lblDatei->contentsRect().width());
        QVERIFY(w->lblDatei->toolTip().endsWith(path));
        QCOMPARE(readAll(SettingsFilePath(dir_.path())), path.toLocal8Bit() + "\r\n");
    }

    // Any path survives a restart: one the local 8-bit encoding can hold is written in it as it
    // always was (and such a file reads as before); one it cannot (a name from another script
    // where the system's code page is a Western one) in UTF-8 behind its byte order mark.
    void anyPathSurvives_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << QStringLiteral("C:\\fw\\q7310.a35");
        QTest::newRow("umlauts") << QStringLiteral("C:\\Übertragung\\Gerät ä.a35");
        QTest::newRow("other scripts") << QStringLiteral("C:\\fw\\Łódź_Ωmega.a35");
    }
    void anyPathSurvives() {
        QFETCH(QString, path);
        QTemporaryDir dir;
        QVERIFY(WriteLastHexFile(dir.path(), path));
        QString read;
        ReadLastHexFile(dir.path(), read);
        QCOMPARE(read, path);
        const QByteArray local = path.toLocal8Bit();
        const bool fits = QString::fromLocal8Bit(local) == path;
        QCOMPARE(readAll(SettingsFilePath(dir.path())),
                 fits ? QByteArray(local + "\r\n")
                      : QByteArray("\xEF\xBB\xBF" + path.toUtf8() + "\r\n"));
    }

    // Beside a program whose directory its user can write (a portable copy); else in the user's
    // configuration directory, with the port links; where neither can be written, the choice
    // still stands for this run. Root can write everywhere: as root, the test runs itself again
    // as nobody.
    void settingsFollowTheUser() {
#ifndef Q_OS_UNIX
        QSKIP("a directory its user cannot write is made with POSIX permissions here");
#else
        if (::geteuid() == 0) {
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty()) QSKIP("setpriv (util-linux) is missing");
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(setpriv, {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--",
                              QCoreApplication::applicationFilePath(), "settingsFollowTheUser"});
            QVERIFY(p.waitForFinished(60000));
            const QByteArray out = p.readAll();
            QVERIFY2(p.exitCode() == 0 &&
                         out.contains("PASS   : TestShell::settingsFollowTheUser()"),
                     out.constData());
            return;
        }
        QCoreApplication::setApplicationName(QStringLiteral("Q7310Flasher"));
        QTemporaryDir portable, installed, config;
        QVERIFY(QFile::setPermissions(installed.path(), QFile::ReadOwner | QFile::ExeOwner));
        const QString mine = config.filePath(QStringLiteral("Q7310Flasher"));
        for (const auto &[programDir, configHome, settingsDir] :
             {std::tuple{portable.path(), config.path(), portable.path()},
              {installed.path(), config.path(), mine},
              {installed.path(), QStringLiteral("/proc/q7310-none"), QString()}}) {
            qputenv("XDG_CONFIG_HOME", configHome.toLocal8Bit());
            for (int run = 0; run < 2; ++run) { // choose, then start again
                Application app(programDir,
                                FlasherSeams{.boxes = &boxes_, .fileDialog = dialog_.get()});
                app.showMainWindow();
                frmQ7310Flasher *w = app.mainWindow();
                QCOMPARE(w->LastHexFile, run && !settingsDir.isEmpty() ? "/fw/x.a35" : QString());
                dialog_->choices = {run ? QString() : QStringLiteral("/fw/x.a35")};
                w->cmdDatei_Click();
                QCOMPARE(w->lblDatei->text(),
                         run && settingsDir.isEmpty() ? "No File" : "/fw/x.a35");
                w->Comm1.CommPort = 3;
                QCOMPARE(w->Comm1.deviceName(), !run || settingsDir.isEmpty()
                                                    ? QStringLiteral("/dev/ttyS2")
                                                    : QString(settingsDir + "/com3"));
                if (!run && !settingsDir.isEmpty())
                    QVERIFY(QFile::link("/dev/ttyUSB0", settingsDir + "/com3"));
            }
            if (settingsDir.isEmpty()) continue;
            QCOMPARE(readAll(SettingsFilePath(settingsDir)), QByteArray("/fw/x.a35\r\n"));
            QVERIFY(!QFile::exists(
                SettingsFilePath(programDir == portable.path() ? mine : programDir)));
        }
        QFile::setPermissions(installed.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
#endif
    }

    void portMenu() {
        frmQ7310Flasher *w = start();
        for (const QList<int> &clicks : {QList<int>{5}, {3, 3}, {8, 1}}) {
            for (int n : clicks)
                w->mnuComItems[n - 1]->trigger(); // as a click on the item does
            for (int n = 1; n <= 8; ++n)
                QCOMPARE(w->mnuComItems[n - 1]->isChecked(), n == clicks.last());
            QCOMPARE(w->Panels[3]->text(), QStringLiteral("Com%1").arg(clicks.last()));
        }
        QVERIFY(!w->Comm1.PortOpen());
        // Each entry tells the device it opens, looked up again as the menu opens.
        QVERIFY(w->mnuCom->toolTipsVisible());
#if defined(Q_OS_WIN)
        // ComN is the system's COMN: no entries to follow.
        emit w->mnuCom->aboutToShow();
        for (int n = 1; n <= 8; ++n)
            QVERIFY2(w->mnuComItems[n - 1]->toolTip().startsWith(QStringLiteral("COM%1").arg(n)),
                     qPrintable(w->mnuComItems[n - 1]->toolTip()));
        return;
#endif
        QVERIFY(QFile::link(dir_.filePath("ttyUSB7"), dir_.filePath("com2")));
        QFile server(dir_.filePath("com4")); // an entry naming a serial device server
        QVERIFY(server.open(QIODevice::WriteOnly) && server.write("socket://10.0.0.5:2000\n"));
        server.close();
        emit w->mnuCom->aboutToShow();
        QVERIFY2(w->mnuComItems[3]->toolTip().contains("→ socket://10.0.0.5:2000: Geräteserver"),
                 qPrintable(w->mnuComItems[3]->toolTip()));
        QVERIFY2(w->mnuComItems[1]->toolTip().contains(dir_.filePath("ttyUSB7")),
                 qPrintable(w->mnuComItems[1]->toolTip()));
        QVERIFY(w->mnuComItems[2]->toolTip().startsWith(ComPortDevice(3, {dir_.path()})));
    }
};

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
