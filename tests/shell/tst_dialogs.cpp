// What the user chooses: the file button with its settings file, the port menu, and the real
// message box and Qt's own dialogs, in German.

#include "serial/SerialComm.h"
#include "shell/FileDialog.h"
#include "shell/Settings.h"
#include "shell/Translations.h"
#include "shell/Application.h"
#include "support/Scripted.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

class TestDialogs : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedBoxes boxes_; // nothing here shows a box through the seam
    ScriptedFileDialog dialog_;
    std::unique_ptr<Application> app_;

    frmQ7310Flasher *start(const QByteArray &settings) {
        QFile::remove(SettingsFilePath(dir_.path()));
        QFile f(SettingsFilePath(dir_.path()));
        if (!settings.isEmpty() && f.open(QIODevice::WriteOnly)) f.write(settings);
        f.close();
        dialog_ = ScriptedFileDialog();
        app_ = std::make_unique<Application>(dir_.path(),
                                             FlasherSeams{&boxes_, &dialog_, nullptr, {}});
        app_->showMainWindow();
        return app_->mainWindow();
    }

private Q_SLOTS:
    void cleanup() { app_.reset(); }

    void choosing_data() {
        QTest::addColumn<Choosing>("c");
        const QString cancel;
        QTest::newRow("a file") << Choosing{
            {}, {"/fw/q7310.a35"}, {""}, "/fw/q7310.a35", "/fw/q7310.a35\r\n"};
        QTest::newRow("cancel with nothing chosen")
            << Choosing{{}, {cancel}, {""}, "No File", "<missing>"};
        QTest::newRow("empty selection") << Choosing{{}, {""}, {""}, "No File", "<missing>"};
        QTest::newRow("second choice replaces the first") << Choosing{
            {}, {"/fw/a.a35", "/fw/b.a35"}, {"", "/fw/a.a35"}, "/fw/b.a35", "/fw/b.a35\r\n"};
        QTest::newRow("local 8-bit")
            << Choosing{{},
                        {"/fw/Prüfung.a35"},
                        {""},
                        "/fw/Prüfung.a35",
                        QStringLiteral("/fw/Prüfung.a35\r\n").toLocal8Bit()};
        // Cancel keeps the current choice, not the one remembered at start-up.
        QTest::newRow("remembered path, choice, cancel") << Choosing{"/old/a.a35\r\n/old/z.a35\r\n",
                                                                     {"/fw/b.a35", cancel},
                                                                     {"/old/a.a35", "/fw/b.a35"},
                                                                     "/fw/b.a35",
                                                                     "/fw/b.a35\r\n"};
        QTest::newRow("remembered path, cancel: the remembered file")
            << Choosing{"/old/a.a35\r\n", {cancel}, {"/old/a.a35"}, "/old/a.a35", "/old/a.a35\r\n"};
    }
    void choosing() {
        QFETCH(Choosing, c);
        frmQ7310Flasher *w = start(c.remembered);
        dialog_.choices = c.choices;
        QList<QString> presets;
        for (int i = 0; i < c.choices.size(); ++i) {
            QTest::mouseClick(w->cmdDatei, Qt::LeftButton);
            presets << dialog_.fileNameSeen;
            QCOMPARE(dialog_.filterSeen, QStringLiteral("Hex-Files(*.a35)|*.a35"));
            QCOMPARE(dialog_.initDirSeen,
                     c.remembered.isEmpty() ? QStringLiteral("c:\\") : QString());
        }
        QCOMPARE(presets, c.presets);
        QCOMPARE(w->lblDatei->text(), c.label);
        QCOMPARE(w->CD_01.FileName, c.label == "No File" ? QString() : c.label);
        QCOMPARE(readAll(SettingsFilePath(dir_.path())), c.settings);
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
            QVERIFY2(p.exitCode() == 0 &&
                         p.readAll().contains("PASS   : TestDialogs::settingsFollowTheUser()"),
                     p.readAll().constData());
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
                Application app(programDir, FlasherSeams{&boxes_, &dialog_, nullptr, {}});
                app.showMainWindow();
                frmQ7310Flasher *w = app.mainWindow();
                QCOMPARE(w->LastHexFile, run && !settingsDir.isEmpty() ? "/fw/x.a35" : QString());
                dialog_.choices = {run ? QString() : QStringLiteral("/fw/x.a35")};
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
        frmQ7310Flasher *w = start({});
        for (const QList<int> &clicks : {QList<int>{5}, {3, 3}, {8, 1}}) {
            for (int n : clicks)
                w->mnuComItems[n - 1]->trigger(); // as a click on the item does
            for (int n = 1; n <= 8; ++n)
                QCOMPARE(w->mnuComItems[n - 1]->isChecked(), n == clicks.last());
            QCOMPARE(w->Panels[3]->text(), QStringLiteral("Com%1").arg(clicks.last()));
        }
        QVERIFY(!w->Comm1.PortOpen());
    }

    // The real box, answered from a timer while it runs: icon, buttons, default, answer.
    void messageBoxes() {
        QCOMPARE(InstallGermanTranslations(*QCoreApplication::instance()), 2);
        QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"),
                 QStringLiteral("Suchen in:"));
        QCOMPARE(QtFilterFromPairs(QStringLiteral("Hex-Files(*.a35)|*.a35")),
                 QStringLiteral("Hex-Files(*.a35)"));
        const QString retry = QStringLiteral("3 Abbrechen Wiederholen *Wiederholen");
        const QList<std::tuple<int, QString, QString, int>> cases = {
            {0, "OK", "0 OK *OK", MsgAnswer::OK},
            {16, "", "3 OK *OK", MsgAnswer::OK},
            {21, "Wiederholen", retry, MsgAnswer::Retry},
            {21, "", retry, MsgAnswer::Cancel}}; // Escape
        for (const auto &[style, press, seen, answer] : cases) {
            QString got;
            QTimer timer;
            connect(&timer, &QTimer::timeout, this, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                if (!box) return;
                timer.stop();
                QStringList texts;
                for (QAbstractButton *b : box->buttons())
                    texts << b->text();
                texts.sort();
                got = QStringLiteral("%1 %2 *%3")
                          .arg(int(box->icon()))
                          .arg(texts.join(' '), box->defaultButton()->text());
                got += " | " + box->windowTitle() + " | " + box->text();
                if (press.isEmpty()) QTest::keyClick(box, Qt::Key_Escape);
                for (QAbstractButton *b : box->buttons())
                    if (b->text() == press) b->click();
            });
            timer.start(20);
            QWidget parent;
            QCOMPARE(QtMessageBoxes(&parent).MsgBox(QStringLiteral("Text"), style,
                                                    QStringLiteral("Fehler")),
                     answer);
            QCOMPARE(got, seen + QStringLiteral(" | Fehler | Text"));
        }
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
