// Whole programming runs: the real window, the real serial port and the simulated instrument.

#include "support/RunRig.h"
#include "transfer/ProgrammingRun.h"

#include <QProcess>
#include <QTest>

using namespace hexfile;
using K = q7310sim::FrameKind;

namespace {

const QString Fehler = QStringLiteral("Fehler");
const ShownBox AbortBox{QString::fromUtf8(Texts::Aborted), 16, Fehler};
const ShownBox NoReplyBox{QString::fromUtf8(Texts::NoReply), 21, Fehler};
const ShownBox FlashBox{QString::fromUtf8(Texts::FlashError), 16, Fehler};

// The bytes srec_cat reads from an image, placed at their addresses from 0.
bool srecBinary(const QString &image, QByteArray &out) {
    const QString srecCat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    if (srecCat.isEmpty()) return false;
    const QString bin = image + QStringLiteral(".bin");
    QProcess p;
    p.start(srecCat, {image, QStringLiteral("-intel"), QStringLiteral("-o"), bin,
                      QStringLiteral("-binary")});
    if (!p.waitForFinished(30000)) return false;
    if (p.exitCode() != 0) {
        out.clear(); // srec_cat refuses an image without data bytes
        return p.readAllStandardError().contains("contains no data");
    }
    QFile f(bin);
    if (!f.open(QIODevice::ReadOnly)) return false;
    out = f.readAll();
    return true;
}

// The simulator's memory must hold exactly what srec_cat reads from the file.
void compareWithSrecCat(const q7310sim::Simulator &sim, const QString &image) {
    QByteArray reference;
    if (!srecBinary(image, reference)) QSKIP("srec_cat (package srecord) is not installed");
    const auto mem = sim.memory();
    QCOMPARE(qint64(mem.empty() ? 0 : mem.rbegin()->first + 1), qint64(reference.size()));
    for (const auto &[address, value] : mem)
        QCOMPARE(quint8(reference[qsizetype(address)]), value);
    qsizetype nonZero = 0;
    for (char c : reference)
        nonZero += c != 0;
    qsizetype memNonZero = 0;
    for (const auto &[address, value] : mem)
        memNonZero += value != 0;
    QCOMPARE(memNonZero, nonZero);
}

struct Snapshot {
    int value, maximum;
    bool portMenu, endButton;
};

} // namespace

class TestRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void wholeRun() {
        RunRig rig;
        START_RUN_RIG(rig);
        QList<QByteArray> lines = contiguous(300, 16); // 4800 bytes
        lines.insert(0, segment(0));
        lines.insert(150, QByteArray()); // a blank line cuts a block like an empty record
        const QString image = rig.writeImage(lines);
        rig.w->CD_01.FileName = image;

        QList<Snapshot> progress;
        connect(rig.w->PBLesen, &QProgressBar::valueChanged, this, [&](int v) {
            progress << Snapshot{v, rig.w->PBLesen->maximum(),
                                 rig.w->mnuCom->menuAction()->isEnabled(),
                                 rig.w->cmdEnd->isEnabled()};
        });
        QList<Snapshot> atReplies; // the window's state whenever a reply comes in
        connect(&rig.w->Comm1, &SerialComm::OnComm, this, [&] {
            atReplies << Snapshot{rig.w->Image5->picture(), 0,
                                  rig.w->mnuCom->menuAction()->isEnabled(),
                                  rig.w->cmdEnd->isEnabled()};
        });
        rig.w->Image5->setPicture(ImageList1::InstrumentLit); // an earlier run completed
        QTest::mouseClick(rig.w->cmdLesen, Qt::LeftButton);

        QVERIFY(rig.boxes.shown.isEmpty());
        const auto kinds = rig.kinds();
        QCOMPARE(kinds.first(), K::Start);
        QCOMPARE(kinds.last(), K::End);
        // 22 blocks cut by the threshold, one by the blank line, one sent at the end.
        QCOMPARE(kinds.count(K::Data), 24);
        QCOMPARE(kinds.size(), 26);
        QCOMPARE(rig.sim.endFrames(), 1);
        compareWithSrecCat(rig.sim, image);

        const int lineTotal = int(lines.size());
        QCOMPARE(progress.size(), lineTotal + 1);
        for (int i = 0; i < lineTotal; ++i) {
            QCOMPARE(progress[i].value, i + 1);
            QCOMPARE(progress[i].maximum, lineTotal);
            QVERIFY(!progress[i].portMenu && !progress[i].endButton);
        }
        QCOMPARE(progress.last().value, 0);
        QVERIFY(progress.last().portMenu);

        QVERIFY(!atReplies.isEmpty());
        QVERIFY(!atReplies.first().portMenu && atReplies.first().endButton); // start: end usable
        for (int i = 1; i < atReplies.size(); ++i) {
            QVERIFY(!atReplies[i].portMenu && !atReplies[i].endButton);
            QCOMPARE(atReplies[i].value, ImageList1::Instrument); // being erased: not lit
        }

        QVERIFY(rig.w->mnuCom->menuAction()->isEnabled());
        QVERIFY(rig.w->cmdEnd->isEnabled());
        QVERIFY(!rig.w->Comm1.PortOpen());
        QVERIFY(!rig.w->Timer2.isActive());
        QCOMPARE(rig.w->Image5->picture(), ImageList1::InstrumentLit);
        for (PictureBox *segmentBox : {rig.w->Image2, rig.w->Image3, rig.w->Image4})
            QCOMPARE(segmentBox->picture(), ImageList1::CableIdle);
    }

    void edgeImages_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<int>("dataFrames");
        QTest::newRow("linear addresses and 255-byte records")
            << QList<QByteArray>{linear(0x0012), data(0, pattern(255)), data(255, pattern(255)),
                                 eof()}
            << 4;
    }
    void edgeImages() {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(int, dataFrames);
        RunRig rig;
        START_RUN_RIG(rig);
        const QString image = rig.writeImage(lines);
        rig.w->CD_01.FileName = image;
        rig.w->cmdLesen_Click();
        QVERIFY(rig.boxes.shown.isEmpty());
        const auto kinds = rig.kinds();
        QCOMPARE(kinds.count(K::Data), dataFrames);
        QCOMPARE(kinds.first(), K::Start);
        QCOMPARE(kinds.last(), K::End);
        QCOMPARE(rig.w->Image5->picture(), ImageList1::InstrumentLit);
        compareWithSrecCat(rig.sim, image);
    }

    // srec_cat stops reading at the end record; the flasher reads on to the end of the file.
    void linesAfterTheEndRecord() {
        RunRig rig;
        START_RUN_RIG(rig);
        rig.w->CD_01.FileName =
            rig.writeImage({data(0, pattern(16)), eof(), data(0x100, pattern(16, 1))});
        rig.w->cmdLesen_Click();
        QVERIFY(rig.boxes.shown.isEmpty());
        QCOMPARE(rig.kinds(), (QList<K>{K::Start, K::Data, K::Data, K::End}));
        const auto mem = rig.sim.memory();
        QCOMPARE(mem.size(), size_t(32));
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(mem.at(std::uint32_t(i)), quint8(pattern(16)[i]));
            QCOMPARE(mem.at(std::uint32_t(0x100 + i)), quint8(pattern(16, 1)[i]));
        }
    }

    // What was checked is what is sent, whatever happens to the file meanwhile.
    void fileChangedDuringTheRun() {
        RunRig rig;
        START_RUN_RIG(rig);
        const QList<QByteArray> original = contiguous(40, 16);
        const QString image = rig.writeImage(original);
        rig.w->CD_01.FileName = image;
        bool replaced = false;
        connect(&rig.w->Comm1, &SerialComm::OnComm, this, [&] {
            if (!replaced) // after the start command: a different image on disk
                replaced = !rig.writeImage({data(0, QByteArray(640, '\x00')), eof()}).isEmpty();
        });
        rig.w->cmdLesen_Click();
        QVERIFY(replaced);
        QVERIFY(rig.boxes.shown.isEmpty());
        const auto mem = rig.sim.memory();
        QCOMPARE(mem.size(), size_t(640));
        for (int i = 0; i < 40; ++i)
            for (int k = 0; k < 16; ++k)
                QCOMPARE(mem.at(std::uint32_t(i * 16 + k)), quint8(pattern(16, i)[k]));
    }

    void noFileChosen() {
        RunRig rig;
        START_RUN_RIG(rig);
        rig.boxes.answers = {MsgAnswer::OK};
        bool portWasOpen = false, endWasEnabled = false;
        rig.boxes.whileOpen = [&](const ShownBox &) {
            portWasOpen = rig.w->Comm1.PortOpen();
            endWasEnabled = rig.w->cmdEnd->isEnabled();
        };
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown, (QList<ShownBox>{{QStringLiteral("Bitte Hex-Datei auswählen"), 0,
                                                    QStringLiteral("Datei")}}));
        QVERIFY(portWasOpen && endWasEnabled);
        QVERIFY(!rig.w->Comm1.PortOpen());
        QTest::qWait(50);
        QCOMPARE(rig.sim.frames().size(), size_t(0));
        QVERIFY(rig.w->mnuCom->menuAction()->isEnabled());
    }

    void startGivenUp() {
        RunRig rig;
        START_RUN_RIG(rig);
        rig.rules({"1:noreply", "2:noreply"});
        rig.w->CD_01.FileName = rig.writeImage(contiguous(20, 16));
        rig.boxes.answers = {MsgAnswer::Cancel};
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown, QList<ShownBox>{NoReplyBox});
        QCOMPARE(rig.kinds(), (QList<K>{K::Start, K::Start}));
        QVERIFY(!rig.w->Image2->isVisible() && !rig.w->Image3->isVisible() &&
                !rig.w->Image4->isVisible());
        QVERIFY(!rig.w->Timer2.isActive() && !rig.w->Timer3.isActive());
        QCOMPARE(rig.w->Image5->picture(), ImageList1::Instrument);
        QVERIFY(!rig.w->Comm1.PortOpen());
        QCOMPARE(rig.w->PBLesen->value(), 0);
    }

    void badFilesSendNothing_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("message");
        QTest::newRow("checksum")
            << QList<QByteArray>{data(0, pattern(16)), ":0100000001FF", eof()} << true
            << "Die Datei \"fw.a35\" ist fehlerhaft und wird nicht übertragen.\n"
               "Zeile 2: Prüfsumme falsch.";
        QTest::newRow("truncated")
            << contiguous(10, 16).mid(0, 6) << true
            << "Die Datei \"fw.a35\" ist fehlerhaft und wird nicht übertragen.\n"
               "Zeile 6: Ende-Satz fehlt, die Datei ist unvollständig.";
        QTest::newRow("no data bytes")
            << QList<QByteArray>{segment(0x1000), eof()} << true
            << "Die Datei \"fw.a35\" ist fehlerhaft und wird nicht übertragen.\n"
               "Die Datei enthält keine Datenbytes.";
        QTest::newRow("empty") << QList<QByteArray>{} << true
                               << "Die Datei \"fw.a35\" ist fehlerhaft und wird nicht übertragen.\n"
                                  "Die Datei ist leer.";
        QTest::newRow("gone since it was chosen")
            << QList<QByteArray>{} << false << "Die Datei \"fw.a35\" kann nicht gelesen werden: ";
    }
    void badFilesSendNothing() {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(bool, exists);
        QFETCH(QString, message);
        RunRig rig;
        START_RUN_RIG(rig);
        const QString path = rig.writeImage(lines);
        if (!exists) QFile::remove(path);
        rig.w->CD_01.FileName = path;
        rig.boxes.answers = {MsgAnswer::OK};
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown.size(), 1);
        QVERIFY2(rig.boxes.shown[0].text.startsWith(message), qPrintable(rig.boxes.shown[0].text));
        QCOMPARE(rig.boxes.shown[0].style, 16);
        QCOMPARE(rig.boxes.shown[0].title, QStringLiteral("Datei"));
        QTest::qWait(50);
        QCOMPARE(rig.sim.frames().size(), size_t(0));
        QVERIFY(!rig.w->Comm1.PortOpen());
        QVERIFY(rig.w->mnuCom->menuAction()->isEnabled() && rig.w->cmdEnd->isEnabled());
    }

    void missingPort() {
        RunRig rig;
        START_RUN_RIG(rig);
        QVERIFY(QFile::link(QStringLiteral("/dev/q7310-none"), rig.dir.filePath("com3")));
        rig.w->mnuCom_Click(3);
        rig.w->CD_01.FileName = rig.writeImage(contiguous(4, 16));
        rig.boxes.answers = {MsgAnswer::OK};
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown.size(), 1);
        QVERIFY(rig.boxes.shown[0].text.startsWith(
            QStringLiteral("Com3 kann nicht geöffnet werden: ")));
        QVERIFY(rig.boxes.shown[0].text.contains(QStringLiteral("com3")));
        QCOMPARE(rig.boxes.shown[0].style, 16);
        QCOMPARE(rig.boxes.shown[0].title, Fehler);
        QVERIFY(rig.w->mnuCom->menuAction()->isEnabled());
        QCOMPARE(rig.sim.frames().size(), size_t(0));
    }

    // A run that cannot finish stops at once and says the firmware is incomplete.
    void abortedRuns_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QList<ShownBox>>("boxes");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("endFrames"); // end frames the instrument received
        QTest::newRow("cancel in the middle")
            << QStringList{"5:noreply", "6:noreply"} << QList<int>{MsgAnswer::Cancel, MsgAnswer::OK}
            << QList<ShownBox>{NoReplyBox, AbortBox} << 6 << 0;
        QTest::newRow("flash error in the middle")
            << QStringList{"5:status=16"} << QList<int>{MsgAnswer::OK, MsgAnswer::OK}
            << QList<ShownBox>{FlashBox, AbortBox} << 5 << 0;
        QTest::newRow("flash error on the start command")
            << QStringList{"1:status=16"} << QList<int>{MsgAnswer::OK, MsgAnswer::OK}
            << QList<ShownBox>{FlashBox, AbortBox} << 1 << 0;
        QTest::newRow("end command given up")
            << QStringList{"end:noreply"} << QList<int>{MsgAnswer::Cancel, MsgAnswer::OK}
            << QList<ShownBox>{NoReplyBox, AbortBox} << 13 << 2;
        QTest::newRow("instrument unplugged in the middle")
            << QStringList{"6:hangup"}
            << QList<int>{MsgAnswer::Retry, MsgAnswer::Cancel, MsgAnswer::OK}
            << QList<ShownBox>{NoReplyBox, NoReplyBox, AbortBox} << 6 << 0;
    }
    void abortedRuns() {
        QFETCH(QStringList, rules);
        QFETCH(QList<int>, answers);
        QFETCH(QList<ShownBox>, boxes);
        QFETCH(int, frames);
        QFETCH(int, endFrames);
        RunRig rig;
        START_RUN_RIG(rig);
        rig.rules(rules);
        rig.w->CD_01.FileName = rig.writeImage(contiguous(128, 16)); // 10 blocks
        rig.boxes.answers = answers;
        // As an earlier run may have left them: completed, a packet still on the cable.
        rig.w->Image5->setPicture(ImageList1::InstrumentLit);
        rig.w->Image3->setPicture(ImageList1::CablePacket);
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown, boxes);
        QCOMPARE(int(rig.sim.frames().size()), frames);
        QCOMPARE(rig.sim.endFrames(), endFrames);
        QCOMPARE(rig.w->Image5->picture(), ImageList1::Instrument); // never "finished"
        for (PictureBox *segmentBox : {rig.w->Image2, rig.w->Image3, rig.w->Image4}) {
            QVERIFY(!segmentBox->isVisible());
            QCOMPARE(segmentBox->picture(), ImageList1::CableIdle);
        }
        QVERIFY(!rig.w->Timer2.isActive() && !rig.w->Timer3.isActive());
        QVERIFY(!rig.w->Comm1.PortOpen());
        QVERIFY(rig.w->mnuCom->menuAction()->isEnabled() && rig.w->cmdEnd->isEnabled());
        QCOMPARE(rig.w->PBLesen->value(), 0);
    }

    void silentInstrumentRecovers() {
        RunRig rig;
        START_RUN_RIG(rig);
        rig.rules({"5:noreply", "6:noreply"});
        const QString image = rig.writeImage(contiguous(128, 16));
        rig.w->CD_01.FileName = image;
        rig.boxes.answers = {MsgAnswer::Retry};
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown, QList<ShownBox>{NoReplyBox});
        QCOMPARE(rig.sim.endFrames(), 1);
        QCOMPARE(rig.w->Image5->picture(), ImageList1::InstrumentLit);
        compareWithSrecCat(rig.sim, image);
    }

    // At line rate, one reply comes after its attempt was given up; a later frame is refused
    // (32, retried) or not programmed (16). The run ends as finished only when the instrument
    // holds exactly the image and took the end command.
    void lateRepliesAtLineRate_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QList<ShownBox>>("boxes");
        QTest::addColumn<bool>("finished");
        // 64 records of 16 bytes: frame 1 start, 2 to 6 data, 7 end; the late attempt's retry
        // moves the frames after it up by one. A delay counts from the reply's wire time.
        const ShownBox TransmissionBox{QString::fromUtf8(Texts::TransmissionError), 21, Fehler};
        using A = QList<int>;
        using B = QList<ShownBox>;
        QTest::newRow("data 10 ms late, later 32")
            << QStringList{"3:delay=245", "6:status=32"} << A{} << B{} << true;
        QTest::newRow("data 150 ms late, end 16")
            << QStringList{"3:delay=385", "end:status=16"} << A{MsgAnswer::OK, MsgAnswer::OK}
            << B{FlashBox, AbortBox} << false;
        QTest::newRow("start 10 ms late, later 32")
            << QStringList{"1:delay=3005", "5:status=32"} << A{} << B{} << true;
        QTest::newRow("start 150 ms late, end 16")
            << QStringList{"1:delay=3145", "end:status=16"} << A{MsgAnswer::OK, MsgAnswer::OK}
            << B{FlashBox, AbortBox} << false;
        QTest::newRow("end 150 ms late, its retry 32")
            << QStringList{"7:delay=445", "8:status=32"} << A{MsgAnswer::Retry}
            << B{TransmissionBox} << true;
        QTest::newRow("end 150 ms late, its retry 16")
            << QStringList{"7:delay=445", "8:status=16"} << A{MsgAnswer::OK, MsgAnswer::OK}
            << B{FlashBox, AbortBox} << false;
        // Later than the line is watched after a time-out: from then on every reply is taken
        // for the next frame's, which only the quiet after the end can show.
        QTest::newRow("data 700 ms late")
            << QStringList{"3:delay=940"} << A{MsgAnswer::OK} << B{AbortBox} << false;
        QTest::newRow("data 700 ms late, later 32") << QStringList{"3:delay=940", "6:status=32"}
                                                    << A{MsgAnswer::OK} << B{AbortBox} << false;
    }
    void lateRepliesAtLineRate() {
        QFETCH(QStringList, rules);
        QFETCH(QList<int>, answers);
        QFETCH(QList<ShownBox>, boxes);
        QFETCH(bool, finished);
        RunRig rig(38400);
        START_RUN_RIG(rig);
        rig.rules(rules);
        rig.w->CD_01.FileName = rig.writeImage(contiguous(64, 16));
        rig.boxes.answers = answers;
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown, boxes);
        QCOMPARE(rig.w->Image5->picture() == ImageList1::InstrumentLit, finished);
        if (!finished) return;
        QVERIFY(rig.sim.endFrames() >= 1);
        const auto mem = rig.sim.memory();
        QCOMPARE(mem.size(), size_t(64 * 16));
        for (int i = 0; i < 64; ++i)
            for (int k = 0; k < 16; ++k)
                QCOMPARE(mem.at(std::uint32_t(i * 16 + k)), quint8(pattern(16, i)[k]));
    }

    void secondClickAndCloseAreRefused() {
        RunRig rig;
        START_RUN_RIG(rig);
        rig.w->CD_01.FileName = rig.writeImage(contiguous(64, 16));
        bool tried = false, closed = true;
        connect(&rig.w->Comm1, &SerialComm::OnComm, this, [&] {
            if (tried || rig.sim.frames().size() < 3) return;
            tried = true;
            QTest::mouseClick(rig.w->cmdLesen, Qt::LeftButton);
            closed = rig.w->close();
        });
        rig.w->cmdLesen_Click();
        QVERIFY(tried);
        QVERIFY(!closed);
        QVERIFY(rig.w->isVisible());
        QCOMPARE(rig.kinds().count(K::Start), 1);
        QCOMPARE(rig.kinds().count(K::End), 1);
        QVERIFY(rig.boxes.shown.isEmpty());
        QVERIFY(rig.w->close()); // idle again: closing works
    }
};

QTEST_MAIN(TestRun)
#include "tst_run.moc"
