// The file button with its settings file, and the port menu.

#include "serial/SerialComm.h"
#include "shell/Application.h"
#include "shell/Settings.h"
#include "shell/Translations.h"
#include "support/RunRig.h"
#include "support/Scripted.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

namespace {
QByteArray readAll(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
} // namespace

class TestFileSelect : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedBoxes boxes_;
    ScriptedFileDialog dialog_;
    std::unique_ptr<Application> app_;

    frmQ7310Flasher *start(const QByteArray *settings = nullptr) {
        QFile::remove(SettingsFilePath(dir_.path()));
        QDir(dir_.path()).rmdir(QStringLiteral("Q7310Flasher.cfg"));
        if (settings) {
            QFile f(SettingsFilePath(dir_.path()));
            if (f.open(QIODevice::WriteOnly)) f.write(*settings);
        }
        dialog_ = ScriptedFileDialog();
        app_ = std::make_unique<Application>(dir_.path(),
                                             FlasherSeams{&boxes_, &dialog_, nullptr, {}});
        app_->showMainWindow();
        return app_->mainWindow();
    }

private Q_SLOTS:
    void cleanup() {
        app_.reset();
        QCOMPARE(boxes_.shown, QList<ShownBox>{}); // nothing here ever shows a box
    }

    void choosing_data() {
        QTest::addColumn<QList<QString>>("choices"); // null: cancel
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QByteArray>("settings");
        QTest::newRow("a file") << QList<QString>{"/fw/q7310.a35"} << "/fw/q7310.a35"
                                << "/fw/q7310.a35" << QByteArray("/fw/q7310.a35\r\n");
        QTest::newRow("cancel with nothing chosen") << QList<QString>{QString()} << "No File"
                                                    << "" << QByteArray("<missing>");
        QTest::newRow("empty selection") << QList<QString>{QStringLiteral("")} << "No File"
                                         << "" << QByteArray("<missing>");
        QTest::newRow("cancel keeps the file chosen before")
            << QList<QString>{"/fw/a.a35", QString()} << "/fw/a.a35"
            << "/fw/a.a35" << QByteArray("/fw/a.a35\r\n");
        QTest::newRow("second choice replaces the first")
            << QList<QString>{"/fw/a.a35", "/fw/b.a35"} << "/fw/b.a35"
            << "/fw/b.a35" << QByteArray("/fw/b.a35\r\n");
        QTest::newRow("local 8-bit")
            << QList<QString>{"/fw/Prüfung.a35"} << "/fw/Prüfung.a35"
            << "/fw/Prüfung.a35" << QStringLiteral("/fw/Prüfung.a35\r\n").toLocal8Bit();
    }
    void choosing() {
        QFETCH(QList<QString>, choices);
        QFETCH(QString, label);
        QFETCH(QString, selection);
        QFETCH(QByteArray, settings);
        frmQ7310Flasher *w = start();
        dialog_.choices = choices;
        for (int i = 0; i < choices.size(); ++i)
            QTest::mouseClick(w->cmdDatei, Qt::LeftButton);
        QCOMPARE(dialog_.opened, int(choices.size()));
        QCOMPARE(dialog_.filterSeen, QStringLiteral("Hex-Files(*.a35)|*.a35"));
        QCOMPARE(dialog_.initDirSeen, QStringLiteral("c:\\"));
        QCOMPARE(w->lblDatei->text(), label);
        QCOMPARE(w->CD_01.FileName, selection);
        QCOMPARE(readAll(SettingsFilePath(dir_.path())), settings);
        QCOMPARE(w->LastHexFile, QString()); // never changed after start-up
    }

    void rememberedPathPresetsTheDialog() {
        const QByteArray settings("/old/first.a35\r\n/old/second.a35\r\n");
        frmQ7310Flasher *w = start(&settings);
        dialog_.choices = {QStringLiteral("/new/x.a35"), QString()};
        w->cmdDatei_Click();
        QCOMPARE(dialog_.fileNameSeen, QStringLiteral("/old/first.a35"));
        QCOMPARE(dialog_.initDirSeen, QString()); // not set when a path is remembered
        QCOMPARE(readAll(SettingsFilePath(dir_.path())), QByteArray("/new/x.a35\r\n"));
        w->cmdDatei_Click(); // preset again with the path from start-up, then cancelled
        QCOMPARE(dialog_.fileNameSeen, QStringLiteral("/old/first.a35"));
        QCOMPARE(w->lblDatei->text(), QStringLiteral("/old/first.a35"));
    }

    void settingsThatCannotBeWritten() {
        frmQ7310Flasher *w = start();
        // A directory in the file's place: the write fails, silently.
        QVERIFY(QDir(dir_.path()).mkdir(QStringLiteral("Q7310Flasher.cfg")));
        dialog_.choices = {QStringLiteral("/fw/x.a35")};
        w->cmdDatei_Click();
        QCOMPARE(w->lblDatei->text(), QStringLiteral("/fw/x.a35"));
        QCOMPARE(w->CD_01.FileName, QStringLiteral("/fw/x.a35"));
        QVERIFY(!WriteLastHexFile(dir_.path(), QStringLiteral("/fw/x.a35")));
    }

    void germanStandardDialogs() {
        QCOMPARE(InstallGermanTranslations(*QCoreApplication::instance()), 2);
        QCOMPARE(QCoreApplication::translate("QFileDialog", "Look in:"),
                 QStringLiteral("Suchen in:"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"),
                 QStringLiteral("Abbrechen"));
    }

    void portMenu_data() {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<int>("checked");
        QTest::newRow("Com5") << QList<int>{5} << 5;
        QTest::newRow("Com3 twice") << QList<int>{3, 3} << 3;
        QTest::newRow("Com8 then Com1") << QList<int>{8, 1} << 1;
        QTest::newRow("Com2") << QList<int>{2} << 2;
    }
    void portMenu() {
        QFETCH(QList<int>, clicks);
        QFETCH(int, checked);
        frmQ7310Flasher *w = start();
        for (int n : clicks)
            w->mnuComItems[n - 1]->trigger(); // as a click on the item does
        for (int n = 1; n <= 8; ++n)
            QCOMPARE(w->mnuComItems[n - 1]->isChecked(), n == checked);
        QCOMPARE(w->Panels[3]->text(), QStringLiteral("Com%1").arg(checked));
        QVERIFY(!w->Comm1.PortOpen());
    }

    void theRunOpensTheChosenPort() {
        RunRig rig;
        QString why;
        if (!startSimulator(rig.sim, rig.dir, 4, &why)) QSKIP(qPrintable(why));
        rig.app = std::make_unique<Application>(rig.dir.path(),
                                                FlasherSeams{&rig.boxes, &rig.dialog, nullptr, {}});
        rig.app->showMainWindow();
        frmQ7310Flasher *w = rig.app->mainWindow();
        w->mnuComItems[3]->trigger();
        w->CD_01.FileName = rig.writeImage({hexfile::data(0, "\x01"), hexfile::eof()});
        w->cmdLesen_Click();
        QVERIFY(rig.boxes.shown.isEmpty());
        QCOMPARE(rig.sim.endFrames(), 1);
        QCOMPARE(w->Comm1.CommPort, 4);
        QVERIFY(w->mnuComItems[3]->isChecked()); // the same port is still chosen after the run
    }
};

QTEST_MAIN(TestFileSelect)
#include "tst_fileselect.moc"
