// The monitor switch's companion pieces: the help window, "Zurück zum Programm", and "Beenden".

#include "serial/SerialComm.h"
#include "shell/Application.h"
#include "shell/frmHelp.h"
#include "support/SimRig.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTest>

namespace {

QList<int> blankRuns(const QString &text) {
    QList<int> runs;
    const QRegularExpression re(QStringLiteral(" {2,}"));
    for (auto it = re.globalMatch(text); it.hasNext();)
        runs << int(it.next().capturedLength());
    return runs;
}

QImage iconImage(const QPushButton *b) {
    return b->icon().pixmap(20, 20).toImage();
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedBoxes boxes_;
    ScriptedFileDialog dialog_;
    std::unique_ptr<Application> app_;

    frmHelp *openHelp() {
        app_ = std::make_unique<Application>(dir_.path(),
                                             FlasherSeams{&boxes_, &dialog_, nullptr, {}});
        app_->showMainWindow();
        app_->mainWindow()->mnuHelp->trigger();
        return app_->helpWindow();
    }

private Q_SLOTS:
    void cleanup() {
        app_.reset();
        QCOMPARE(boxes_.shown, QList<ShownBox>{});
        QCOMPARE(dialog_.opened, 0);
    }

    void labels_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QList<int>>("runs");
        QTest::newRow("Label1") << "Label1"
                                << "Q7310 Flash-Programmierung" << QRect(24, 8, 321, 25)
                                << QList<int>{};
        QTest::newRow("Label2")
            << "Label2"
            << "Zum Beschreiben des Flash's im Q7310 muß der Programmiermode        angewählt "
               "werden. Dies erreicht man, indem beim Einschalten der          "
               "Spannungversorgung  die Bedientasten T1,T3,Tdown (siehe Bedienungsanleitung 3.1) "
               "gleichzeitig gedrückt gehalten werden.        Der Q7310 zeigt dann im Display "
               "die Meldung    LOAdEPrOM"
            << QRect(16, 52, 337, 81) << QList<int>{8, 10, 2, 8, 4};
        QTest::newRow("Label7") << "Label7"
                                << "com" << QRect(16, 156, 37, 17) << QList<int>{};
        QTest::newRow("Label4") << "Label4"
                                << "Schnittstelle Com1/Com2 auswählen" << QRect(104, 156, 249, 17)
                                << QList<int>{};
        QTest::newRow("Label3")
            << "Label3"
            << "Vor der Übertragung des Programms muß dieses geladen werden      (q7310.a35)"
            << QRect(104, 188, 249, 33) << QList<int>{6};
        QTest::newRow("Label6") << "Label6"
                                << "Die ausgewählte Datei wir an den Q7310 übertragen"
                                << QRect(104, 232, 249, 17) << QList<int>{};
        QTest::newRow("Label5") << "Label5"
                                << "Programm beenden (eine laufende Übertragung darf nicht beendet "
                                   "werden, da sonst das Programm im Q7310 zerstört wird)"
                                << QRect(104, 268, 249, 45) << QList<int>{};
        QTest::newRow("Label8")
            << "Label8"
            << QStringLiteral("Die über Schnittstelle gesendeten Daten werden angezeigt.") +
                   QString(62, QLatin1Char(' ')) + QStringLiteral("Oberer Kasten: Sendedaten PC") +
                   QString(25, QLatin1Char(' ')) +
                   QStringLiteral("Unterer Kasten: Empfangsdaten PC")
            << QRect(104, 324, 249, 57) << QList<int>{62, 25};
    }
    void labels() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, geometry);
        QFETCH(QList<int>, runs);
        frmHelp *h = openHelp();
        const QHash<QString, QLabel *> byName = {{"Label1", h->Label1}, {"Label2", h->Label2},
                                                 {"Label3", h->Label3}, {"Label4", h->Label4},
                                                 {"Label5", h->Label5}, {"Label6", h->Label6},
                                                 {"Label7", h->Label7}, {"Label8", h->Label8}};
        QLabel *l = byName.value(name);
        QCOMPARE(l->text().toUtf8(), text.toUtf8()); // byte for byte, blanks included
        QCOMPARE(blankRuns(l->text()), runs);
        QCOMPARE(l->geometry(), geometry);
        QVERIFY(l->wordWrap());
    }

    void windowAndButtons() {
        frmHelp *h = openHelp();
        QCOMPARE(h->windowTitle(), QStringLiteral("Hilfe"));
        QCOMPARE(h->size(), QSize(370, 426));
        QVERIFY(!h->windowIcon().isNull());
        QCOMPARE(h->Label1->font().family(), QStringLiteral("Arial"));
        QVERIFY(h->Label1->font().bold());
        QCOMPARE(h->Label1->font().pointSizeF(), 12.0);
        QVERIFY(h->Label1->alignment() & Qt::AlignHCenter);
        QCOMPARE(h->Label7->font().pointSizeF(), 9.75);
        QCOMPARE(h->Label2->font().pointSizeF(), 8.25);
        const QList<QPair<QPushButton *, QPair<QString, QRect>>> buttons = {
            {h->Command1, {"Datei", QRect(16, 188, 57, 25)}},
            {h->Command2, {"Übertragen", QRect(16, 228, 73, 25)}},
            {h->Command3, {"Beenden", QRect(16, 268, 73, 25)}},
            {h->Command5, {"", QRect(16, 340, 25, 25)}},
            {h->Command4, {"Zurück zum Programm", QRect(16, 392, 337, 25)}}};
        for (const auto &[b, expected] : buttons) {
            QCOMPARE(b->text(), expected.first);
            QCOMPARE(b->geometry(), expected.second);
        }
        QCOMPARE(iconImage(h->Command5), iconImage(app_->mainWindow()->chkSSTest));
        QList<QWidget *> tabbing; // the labels never take the focus
        for (QWidget *x = h->Command1; tabbing.size() < 5; x = x->nextInFocusChain())
            if (x->focusPolicy() & Qt::TabFocus) tabbing << x;
        QCOMPARE(tabbing, (QList<QWidget *>{h->Command1, h->Command2, h->Command3, h->Command4,
                                            h->Command5}));
    }

    void oneNonModalInstance() {
        frmHelp *h = openHelp();
        QVERIFY(h && h->isVisible());
        QVERIFY(!h->isModal());
        QVERIFY(!h->parentWidget()); // no owner window
        app_->mainWindow()->mnuHelp->trigger();
        QCOMPARE(app_->helpWindow(), h);
        int helpWindows = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            helpWindows += qobject_cast<frmHelp *>(top) && top->isVisible();
        QCOMPARE(helpWindows, 1);
        QVERIFY(app_->mainWindow()->isEnabled()); // the main window stays usable
    }

    void illustrationButtonsDoNothing() {
        frmHelp *h = openHelp();
        frmQ7310Flasher *w = app_->mainWindow();
        for (QPushButton *b : {h->Command1, h->Command2, h->Command3, h->Command5})
            QTest::mouseClick(b, Qt::LeftButton);
        QVERIFY(h->isVisible());
        QCOMPARE(app_->mainWindow(), w);
        QVERIFY(w->isVisible());
        QCOMPARE(w->chkSSTestValue(), 0);
        QCOMPARE(w->lblDatei->text(), QStringLiteral("no File"));
    }

    void closeBoxOnlyCloses() {
        frmHelp *h = openHelp();
        frmQ7310Flasher *w = app_->mainWindow();
        QVERIFY(h->close());
        QTRY_VERIFY(!app_->helpWindow());
        QCOMPARE(app_->mainWindow(), w);
        QVERIFY(w->isVisible());
    }

    void backToProgram_data() {
        QTest::addColumn<bool>("mainClosed");
        QTest::newRow("main window open") << false;
        QTest::newRow("main window closed") << true;
    }
    void backToProgram() {
        QFETCH(bool, mainClosed);
        frmHelp *h = openHelp();
        QPointer<frmQ7310Flasher> w = app_->mainWindow();
        dialog_.choices = {QStringLiteral("/fw/x.a35")};
        w->cmdDatei_Click();
        --dialog_.opened;
        w->mnuComItems[4]->trigger();
        QTest::mouseClick(w->chkSSTest, Qt::LeftButton);
        if (mainClosed) {
            QVERIFY(w->close());
            QTRY_VERIFY(!w);
        }
        QTest::mouseClick(h->Command4, Qt::LeftButton);
        QTRY_VERIFY(!app_->helpWindow());
        frmQ7310Flasher *now = app_->mainWindow();
        QVERIFY(now && now->isVisible());
        if (!mainClosed) {
            QCOMPARE(now, w.data()); // the same window, as it was
            QCOMPARE(now->Panels[3]->text(), QStringLiteral("Com5"));
            QCOMPARE(now->chkSSTestValue(), 1);
            return;
        }
        // Created anew: the start state again.
        QCOMPARE(now->Panels[3]->text(), QStringLiteral("Com1"));
        QVERIFY(now->mnuComItems[0]->isChecked() && !now->mnuComItems[4]->isChecked());
        QCOMPARE(now->lblDatei->text(), QStringLiteral("no File"));
        QCOMPARE(now->CD_01.FileName, QString());
        QCOMPARE(now->chkSSTestValue(), 0);
        QVERIFY(!now->Text1->isVisibleTo(now));
        QTRY_COMPARE(now->frameGeometry().height(), 227);
        QCOMPARE(app_->state().FrameByte1, 250);
    }

    void endReleasesThePortFirst() {
        SimRig rig;
        SKIP_WITHOUT_PTY(rig.sim, rig.dir);
        int ended = 0;
        bool portOpenAtEnd = true;
        std::unique_ptr<frmQ7310Flasher> w;
        FlasherSeams seams{&boxes_, &dialog_, nullptr, [&] {
                               ++ended;
                               portOpenAtEnd = w->Comm1.PortOpen();
                           }};
        w = std::make_unique<frmQ7310Flasher>(rig.st, rig.dir.path(), seams);
        w->Form_Load();
        w->Comm1.CommPort = 1;
        w->Comm1.Settings = QStringLiteral("38400,e,8,1");
        QVERIFY(w->Comm1.setPortOpen(true));
        QTest::mouseClick(w->cmdEnd, Qt::LeftButton);
        QCOMPARE(ended, 1);
        QVERIFY(!portOpenAtEnd);
    }

    // In a process of its own: "Beenden" ends it at once, with no handler after it.
    void endEndsTheProcess() {
        SimRig rig;
        SKIP_WITHOUT_PTY(rig.sim, rig.dir);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(END_HELPER), {rig.dir.path()});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput(), QByteArray("open\n"));
        // The port is free again: it can be opened at once.
        QSerialPort again(QString::fromStdString(rig.sim.devicePath()));
        QVERIFY2(again.open(QIODevice::ReadWrite), qPrintable(again.errorString()));
    }
};

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
