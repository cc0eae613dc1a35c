// The main window after start-up, the settings file it reads and the height rule.

#include "protocol/TransferState.h"
#include "serial/SerialComm.h"
#include "shell/Application.h"
#include "shell/Settings.h"
#include "status/StatusRow.h"
#include "support/Scripted.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
void writeFile(const QString &path, const QByteArray &content) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedBoxes boxes_; // no answers: any box fails the test
    ScriptedFileDialog dialog_;
    std::unique_ptr<Application> app_;

    frmQ7310Flasher *start() {
        app_ = std::make_unique<Application>(
            dir_.path(), frmQ7310Flasher::Seams{&boxes_, &dialog_, nullptr, {}});
        app_->showMainWindow();
        return app_->mainWindow();
    }

private Q_SLOTS:
    void init() { QFile::remove(SettingsFilePath(dir_.path())); }
    void cleanup() {
        app_.reset();
        QVERIFY(boxes_.shown.isEmpty()); // start-up never shows a message
    }

    void controls_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QRect>("geometry"); // pixels, from twips / 15
        QTest::addColumn<bool>("visible");
        QTest::newRow("Image1") << "Image1"
                                << ""
                                << "Blöder PC" << QRect(248, 16, 41, 41) << true;
        QTest::newRow("Image2") << "Image2"
                                << ""
                                << "RS232 Strippe" << QRect(280, 16, 41, 41) << false;
        QTest::newRow("Image3") << "Image3"
                                << ""
                                << "RS232 Strippe" << QRect(312, 16, 41, 41) << false;
        QTest::newRow("Image4") << "Image4"
                                << ""
                                << "RS232 Strippe" << QRect(344, 16, 41, 41) << false;
        QTest::newRow("Image5") << "Image5"
                                << ""
                                << "Sagenhafter Q7310" << QRect(376, 16, 41, 41) << true;
        QTest::newRow("Image6") << "Image6"
                                << ""
                                << "Sagenhafter Q7310" << QRect(408, 8, 41, 41) << false;
        QTest::newRow("Image7") << "Image7"
                                << ""
                                << "" << QRect(-48, 16, 268, 35) << true;
        QTest::newRow("Line1(0)") << "Line1_0"
                                  << ""
                                  << "" << QRect(-8, 0, 541, 1) << true;
        QTest::newRow("Line1(1)") << "Line1_1"
                                  << ""
                                  << "" << QRect(0, 1, 533, 1) << true;
        QTest::newRow("lblDatei") << "lblDatei"
                                  << "no File"
                                  << "Zur Übertragung ausgewähltes Hex-File"
                                  << QRect(20, 64, 309, 17) << true;
        QTest::newRow("PBLesen") << "PBLesen"
                                 << ""
                                 << "Fortschritt" << QRect(16, 84, 417, 17) << true;
        QTest::newRow("cmdDatei") << "cmdDatei"
                                  << "Datei"
                                  << "Hex Datei für den Datentransfer öffnen"
                                  << QRect(16, 108, 85, 33) << true;
        QTest::newRow("cmdLesen") << "cmdLesen"
                                  << "Übertragen"
                                  << "Übertragung starten" << QRect(108, 108, 185, 33) << true;
        QTest::newRow("cmdEnd") << "cmdEnd"
                                << "Beenden"
                                << "Programm beenden" << QRect(300, 108, 93, 33) << true;
        QTest::newRow("chkSSTest") << "chkSSTest"
                                   << ""
                                   << "Schnittstelle mithören" << QRect(400, 108, 33, 33) << true;
        QTest::newRow("Text1") << "Text1"
                               << ""
                               << "Gesendete Daten" << QRect(16, 164, 417, 153) << false;
        QTest::newRow("Text2") << "Text2"
                               << ""
                               << "Quittungsdaten vom Q7310" << QRect(16, 320, 417, 25) << false;
    }
    void controls() {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QString, tip);
        QFETCH(QRect, geometry);
        QFETCH(bool, visible);
        frmQ7310Flasher *w = start();
        const QHash<QString, QWidget *> byName = {
            {"Image1", w->Image1},     {"Image2", w->Image2},   {"Image3", w->Image3},
            {"Image4", w->Image4},     {"Image5", w->Image5},   {"Image6", w->Image6},
            {"Image7", w->Image7},     {"Line1_0", w->Line1_0}, {"Line1_1", w->Line1_1},
            {"lblDatei", w->lblDatei}, {"PBLesen", w->PBLesen}, {"cmdDatei", w->cmdDatei},
            {"cmdLesen", w->cmdLesen}, {"cmdEnd", w->cmdEnd},   {"chkSSTest", w->chkSSTest},
            {"Text1", w->Text1},       {"Text2", w->Text2}};
        QWidget *c = byName.value(name);
        QVERIFY(c);
        QString text;
        if (auto *b = qobject_cast<QPushButton *>(c))
            text = b->text();
        else if (auto *l = qobject_cast<QLabel *>(c))
            text = l->text();
        else if (auto *e = qobject_cast<QPlainTextEdit *>(c))
            text = e->toPlainText();
        else if (auto *e = qobject_cast<QLineEdit *>(c))
            text = e->text();
        QCOMPARE(text, caption);
        QCOMPARE(c->toolTip(), tip);
        QCOMPARE(c->geometry(), geometry);
        QCOMPARE(c->isVisibleTo(w), visible);
        QVERIFY(c->isEnabled());
    }

    void startState() {
        frmQ7310Flasher *w = start();
        QCOMPARE(w->windowTitle(), QStringLiteral("Q7310Flasher"));
        QVERIFY(!w->windowIcon().isNull());
        QVERIFY(!w->Timer1.isActive());
        QVERIFY(!w->Timer2.isActive());
        QVERIFY(!w->Timer3.isActive());
        QCOMPARE(w->Timer1.interval(), 300);
        QCOMPARE(w->Timer2.interval(), 200);
        QCOMPARE(w->Timer3.interval(), 200);
        QCOMPARE(app_->state().FrameByte1, 250);
        QCOMPARE(w->Image1->picture(), ImageList1::PC);
        QCOMPARE(w->Image2->picture(), ImageList1::CableIdle);
        QCOMPARE(w->Image3->picture(), ImageList1::CableIdle);
        QCOMPARE(w->Image4->picture(), ImageList1::CableIdle);
        QCOMPARE(w->Image5->picture(), ImageList1::Instrument);
        QCOMPARE(w->Image6->picture(), ImageList1::Sleep);
        QCOMPARE(w->chkSSTestValue(), 0);
        QVERIFY(!w->Comm1.PortOpen());
        QCOMPARE(w->CD_01.FileName, QString());
        QCOMPARE(w->PBLesen->value(), w->PBLesen->minimum());
        QCOMPARE(w->Panels[0]->text(), QStringLiteral("Version: 1.7"));
        QCOMPARE(w->Panels[3]->text(), QStringLiteral("Com1"));
        QVERIFY(!w->Panels[1]->text().isEmpty()); // date and time, kept by the status bar
        QVERIFY(!w->Panels[2]->text().isEmpty());
        QCOMPARE(w->Panels[0]->width(), 114);
        QCOMPARE(w->Panels[3]->width(), 101);
        QCOMPARE(w->focusWidget(), w->cmdLesen);
    }

    void menus() {
        frmQ7310Flasher *w = start();
        const QList<QAction *> top = w->menuBar()->actions();
        QCOMPARE(top.size(), 2);
        QCOMPARE(top[0]->text(), QStringLiteral("&Help"));
        QVERIFY(!top[0]->menu()); // a menu title that acts on its own
        QCOMPARE(top[1]->text(), QStringLiteral("&Com"));
        QCOMPARE(top[1]->menu(), w->mnuCom);
        for (int n = 1; n <= 8; ++n) {
            QAction *item = w->mnuComItems[n - 1];
            QCOMPARE(item->text(), QStringLiteral("Com&%1").arg(n));
            QCOMPARE(w->mnuCom->actions().at(n - 1), item);
            QCOMPARE(item->isChecked(), n == 1);
        }
    }

    void tabOrder() {
        frmQ7310Flasher *w = start();
        const QList<QWidget *> order = {w->cmdLesen,  w->cmdDatei, w->PBLesen,
                                        w->cmdEnd,    w->Text1,    w->Text2,
                                        w->chkSSTest, w->lblDatei, w->StatusBar1};
        // Only the controls that can take the focus are reached with Tab; the others keep
        // their place in the order without ever holding the focus.
        QList<QWidget *> expected;
        for (QWidget *c : order)
            if (c->focusPolicy() & Qt::TabFocus) expected << c;
        QCOMPARE(expected, (QList<QWidget *>{w->cmdLesen, w->cmdDatei, w->cmdEnd, w->Text1,
                                             w->Text2, w->chkSSTest}));
        QList<QWidget *> reached;
        for (QWidget *x = w->cmdLesen; reached.size() < expected.size(); x = x->nextInFocusChain())
            if (expected.contains(x)) reached << x;
        QCOMPARE(reached, expected);
        QVERIFY(w->Text1->tabChangesFocus()); // Tab leaves the monitor box
    }

    void heights_data() {
        QTest::addColumn<bool>("monitor");
        QTest::addColumn<int>("outerPixels");
        QTest::newRow("off: 3400 twips") << false << 227;
        QTest::newRow("on: 6420 twips") << true << 428;
    }
    void heights() {
        QFETCH(bool, monitor);
        QFETCH(int, outerPixels);
        frmQ7310Flasher *w = start();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->Text1->setPlainText(QStringLiteral("AA 55 "));
        w->Text2->setText(QStringLiteral("10 0 "));
        if (monitor) QTest::mouseClick(w->chkSSTest, Qt::LeftButton);
        QTRY_COMPARE(w->frameGeometry().height(), outerPixels);
        QCOMPARE(w->chkSSTestValue(), monitor ? 1 : 0);
        // The status bar stays at the bottom; what lies above it is what can be seen.
        const int statusTop = w->StatusBar1->geometry().top();
        QCOMPARE(w->StatusBar1->geometry().bottom(), w->height() - 1);
        auto bottomIn = [w](QWidget *c) { return c->mapTo(w, QPoint(0, c->height())).y(); };
        QVERIFY(bottomIn(w->cmdLesen) <= statusTop);
        QVERIFY(bottomIn(w->chkSSTest) <= statusTop);
        QCOMPARE(w->Text1->isVisible(), monitor);
        QCOMPARE(w->Text2->isVisible(), monitor);
        if (monitor) {
            QVERIFY(bottomIn(w->Text1) <= statusTop);
            QVERIFY(bottomIn(w->Text2) <= statusTop);
            QTest::mouseClick(w->chkSSTest, Qt::LeftButton); // and off again
            QTRY_COMPARE(w->frameGeometry().height(), 227);
            QVERIFY(!w->Text1->isVisible());
        }
        QVERIFY(w->Text1->mapTo(w, QPoint(0, 0)).y() >= w->StatusBar1->geometry().top() ||
                !w->Text1->isVisible());
        // Switching never touches the monitor's contents.
        QCOMPARE(w->Text1->toPlainText(), QStringLiteral("AA 55 "));
        QCOMPARE(w->Text2->text(), QStringLiteral("10 0 "));
    }

    void settingsAtStart_data() {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("lastHexFile");
        QTest::newRow("missing") << false << QByteArray() << QString();
        QTest::newRow("empty") << true << QByteArray() << QString();
        QTest::newRow("one line CR LF")
            << true << QByteArray("/fw/q7310.a35\r\n") << QStringLiteral("/fw/q7310.a35");
        QTest::newRow("LF only") << true << QByteArray("/fw/q7310.a35\n")
                                 << QStringLiteral("/fw/q7310.a35");
        QTest::newRow("no line end")
            << true << QByteArray("/fw/x.a35") << QStringLiteral("/fw/x.a35");
        QTest::newRow("several lines")
            << true << QByteArray("/a.a35\r\n/b.a35\r\n") << QStringLiteral("/a.a35");
        QTest::newRow("file gone since")
            << true << QByteArray("/nowhere/gone.a35\r\n") << QStringLiteral("/nowhere/gone.a35");
        QTest::newRow("local 8-bit")
            << true << (QStringLiteral("/fw/Prüfung.a35").toLocal8Bit() + "\r\n")
            << QStringLiteral("/fw/Prüfung.a35");
    }
    void settingsAtStart() {
        QFETCH(bool, exists);
        QFETCH(QByteArray, content);
        QFETCH(QString, lastHexFile);
        if (exists) writeFile(SettingsFilePath(dir_.path()), content);
        frmQ7310Flasher *w = start();
        QCOMPARE(w->LastHexFile, lastHexFile);
        // The remembered path never selects a file by itself.
        QCOMPARE(w->lblDatei->text(), QStringLiteral("no File"));
        QCOMPARE(w->CD_01.FileName, QString());
    }

    void unreadableSettingsKeepValue() {
        // A directory where the file should be: it exists but cannot be read as a file.
        QTemporaryDir other;
        QVERIFY(QDir(other.path()).mkdir(QStringLiteral("Q7310Flasher.cfg")));
        QString last = QStringLiteral("kept");
        ReadLastHexFile(other.path(), last);
        QCOMPARE(last, QStringLiteral("kept"));
    }

    void settingsPath_data() {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << "/opt/q7310"
                               << "/opt/q7310/Q7310Flasher.cfg";
        QTest::newRow("trailing separator") << "/opt/q7310/"
                                            << "/opt/q7310/Q7310Flasher.cfg";
        QTest::newRow("root") << "/"
                              << "/Q7310Flasher.cfg";
    }
    void settingsPath() {
        QFETCH(QString, dir);
        QFETCH(QString, path);
        QCOMPARE(SettingsFilePath(dir), path);
    }

    void comPortDevices_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("link");
        QTest::addColumn<QString>("device");
        QTest::newRow("Com1 without link") << 1 << false << "/dev/ttyS0";
        QTest::newRow("Com8 without link") << 8 << false << "/dev/ttyS7";
        QTest::newRow("Com3 with link") << 3 << true << "com3";
    }
    void comPortDevices() {
        QFETCH(int, port);
        QFETCH(bool, link);
        QFETCH(QString, device);
        QTemporaryDir d;
        if (link)
            QVERIFY(QFile::link(QStringLiteral("/dev/ttyUSB9"), d.filePath(device))); // dangling
        const QString expected = link ? d.filePath(device) : device;
        QCOMPARE(ComPortDevice(port, d.path()), expected);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
