// Whole programming runs: the real window and the simulated instrument, in simulated time at
// 38400 baud (the timing rules: exact, however busy the machine is). A run is judged by what the
// instrument took and holds.

#include "status/StatusRow.h"
#include "support/Virtual.h"
#include "transfer/HexImage.h"
#include "transfer/ProgrammingRun.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace hexfile;
using Lines = QList<QByteArray>;

namespace {
const QString Fehler = QStringLiteral("Fehler"), Datei = QStringLiteral("Datei");
const ShownBox Aborted{QString::fromUtf8(Texts::Aborted), 16, Fehler};
const ShownBox Unconfirmed{QString::fromUtf8(Texts::Unconfirmed), 16, Fehler};
const ShownBox TalksAfterEnd{QString::fromUtf8(Texts::TalksAfterEnd), 16, Fehler};
const ShownBox NoReply{QString::fromUtf8(Texts::NoReply), 21, Fehler};
const ShownBox Flash{QString::fromUtf8(Texts::FlashError), 16, Fehler};
const ShownBox Transmission{QString::fromUtf8(Texts::TransmissionError), 21, Fehler};
const int OK = MsgAnswer::OK, Retry = MsgAnswer::Retry, Cancel = MsgAnswer::Cancel;

// The pictures a run leaves: the instrument's, and the cable's three segments shown or hidden.
QString pictures(frmQ7310Flasher *w) {
    QString s = QString::number(w->Image5->picture()) + " ";
    for (PictureBox *b : {w->Image2, w->Image3, w->Image4})
        s += QString::number(b->picture()) + (b->isVisible() ? "v" : "h");
    return s;
}
const QString Finished = QStringLiteral("5 1v1v1v"), Unlit = QStringLiteral("3 1h1h1h");

// What the user can work, what moves and what is held.
struct Controls {
    bool menu, transfer, file, end; // enabled
    bool animating;
    int bar;
    bool portOpen;
    bool operator==(const Controls &) const = default;
};
char *toString(const Controls &c) {
    return QTest::toString(QStringLiteral("menu %1 keys %2%3%4 anim %5 bar %6 port %7")
                               .arg(c.menu)
                               .arg(c.transfer)
                               .arg(c.file)
                               .arg(c.end)
                               .arg(c.animating)
                               .arg(c.bar)
                               .arg(c.portOpen));
}
Controls controls(frmQ7310Flasher *w) {
    return {w->mnuCom->menuAction()->isEnabled(),
            w->cmdLesen->isEnabled(),
            w->cmdDatei->isEnabled(),
            w->cmdEnd->isEnabled(),
            w->Timer2.isActive() || w->Timer3.isActive(),
            w->PBLesen->value(),
            w->Comm1.PortOpen()};
}
bool locked(frmQ7310Flasher *w) {
    const Controls c = controls(w);
    return !c.menu && !c.transfer && !c.file && !c.end;
}
const Controls Idle{true, true, true, true, false, 0, false};

struct Trouble {
    QStringList rules;
    QList<int> answers;
    QList<ShownBox> boxes;
    int frames; // 0: any number
    QString after;
    int records = 160; // of 16 bytes; 13 make a block
    int section = 0;   // records in a section, a gap after each; 0: one section
};

// Records of 16 bytes, in sections of `section` records with a gap of 4 KiB between them; where
// each record goes.
Lines sectioned(int records, int section, QList<quint32> *addresses = nullptr) {
    Lines lines;
    for (int i = 0; i < records; ++i) {
        const int address = (section ? i / section * 0x1000 : 0) + i * 16;
        if (addresses) *addresses << quint32(address);
        lines << data(address, pattern(16, i));
    }
    return lines << eof();
}
} // namespace

class TestRun : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void wholeRun() {
        QTemporaryDir dumpDir; // where the instrument writes what it holds when the end comes
        const QString dump = dumpDir.filePath(QStringLiteral("dump.hex"));
        VirtualRunRig rig({.dumpFile = dump.toStdString()});
        rig.w->mnuCom_Click(4);
        // A blank line (it cuts a block like an empty record), data behind the end record, linear
        // addresses, 255-byte records sent in pieces, blanks behind a checksum, lower case, a
        // start address record and a DOS end mark.
        Lines lines = contiguous(300, 16);
        lines.insert(150, QByteArray());
        lines.insert(300, eof());
        lines << linear(0x12) << data(0, pattern(255)) + " \t" << data(255, pattern(255)).toLower()
              << record(5, 0, "1234") << "\x1A";
        rig.w->CD_01.FileName = rig.writeImage(lines);
        QStringList progress, atReplies;
        connect(rig.w->PBLesen, &QProgressBar::valueChanged, this, [&](int v) {
            progress << QStringLiteral("%1/%2 %3")
                            .arg(v)
                            .arg(rig.w->PBLesen->maximum())
                            .arg(locked(rig.w) ? "locked" : "free");
        });
        connect(&rig.w->Comm1, &SerialComm::OnComm, this, [&] {
            atReplies << QStringLiteral("%1 %2").arg(rig.w->Image5->picture()).arg(locked(rig.w));
        });
        rig.w->Image5->setPicture(ImageList1::InstrumentLit); // an earlier run completed
        QTest::mouseClick(rig.w->cmdLesen, Qt::LeftButton);

        QVERIFY(rig.boxes.shown.isEmpty());
        // 22 blocks cut by the threshold, one by the blank line, one by the linear address, four
        // pieces of the long records.
        QCOMPARE(rig.framesSeen(), 30);
        QVERIFY(rig.memory() == ImageBytes(lines));
        QFile f(dump);
        const QList<QByteArray> dumped =
            f.open(QIODevice::ReadOnly) ? SplitLines(f.readAll()) : Lines{};
        QVERIFY(CheckImage(dumped).isEmpty() && ImageBytes(dumped) == ImageBytes(lines));
        QCOMPARE(pictures(rig.w), Finished);
        QCOMPARE(controls(rig.w), Idle);
        QCOMPARE(progress.size(), lines.size() + 1); // one step a line, then empty
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(progress[i], QStringLiteral("%1/%2 locked").arg(i + 1).arg(lines.size()));
        QVERIFY(progress.last().startsWith("0/"));
        // From the moment the start frame is out the instrument may be being erased: no longer
        // lit; and from the moment the port is open nothing that would disturb the run works.
        atReplies.removeDuplicates();
        QCOMPARE(atReplies, QStringList({"3 1"}));
    }

    // Nothing reaches the instrument when there is nothing fit to send or no port to send on.
    void refusedBeforeAnythingIsSent_data() {
        QTest::addColumn<Lines>("lines");
        QTest::addColumn<QString>("file"); // "": none chosen, "gone": deleted since
        QTest::addColumn<int>("port");
        QTest::addColumn<ShownBox>("box"); // text: how it begins
        const QString bad = "Die Datei \"fw.a35\" ist fehlerhaft und wird nicht übertragen.\n";
        QTest::newRow("no file chosen")
            << Lines{} << "" << 1 << ShownBox{"Bitte Hex-Datei auswählen", 0, Datei};
        QTest::newRow("no data bytes")
            << Lines{segment(0x1000), eof()} << "fw.a35" << 1
            << ShownBox{bad + "Die Datei enthält keine Datenbytes.", 16, Datei};
        QTest::newRow("gone since it was chosen")
            << Lines{} << "gone" << 1
            << ShownBox{"Die Datei \"fw.a35\" kann nicht gelesen werden: ", 16, Datei};
        QTest::newRow("port missing") << contiguous(4, 16) << "fw.a35" << 3
                                      << ShownBox{"Com3 kann nicht geöffnet werden: diese "
                                                  "Schnittstelle gibt es nicht (", 16, Fehler};
    }
    void refusedBeforeAnythingIsSent() {
        QFETCH(Lines, lines);
        QFETCH(QString, file);
        QFETCH(int, port);
        QFETCH(ShownBox, box);
        VirtualRunRig rig;
        // Com3 leads to a device that is not there.
        rig.port.device = rig.dir.filePath("com3");
        if (port == 3) rig.port.unplug();
        rig.w->mnuCom_Click(port);
        const QString path = rig.writeImage(lines);
        if (file == QLatin1String("gone")) QFile::remove(path);
        if (!file.isEmpty()) rig.w->CD_01.FileName = path;
        rig.boxes.answers = {OK};
        bool heldMeanwhile = false;
        rig.boxes.whileOpen = [&](const ShownBox &) { heldMeanwhile = rig.w->Comm1.PortOpen(); };
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown.size(), 1);
        const ShownBox shown = rig.boxes.shown[0];
        QVERIFY2(shown.text.startsWith(box.text), qPrintable(shown.text));
        QCOMPARE(shown.text.endsWith(rig.dir.filePath("com3") + ")"), port == 3); // the device
        QCOMPARE(ShownBox({box.text, shown.style, shown.title}), box);
        QCOMPARE(heldMeanwhile, port == 1);
        rig.time.pass(std::chrono::seconds(1));
        QCOMPARE(rig.framesSeen(), 0);
        QCOMPARE(pictures(rig.w), Unlit);
        QCOMPARE(controls(rig.w), Idle);
    }

    // How runs end that meet trouble, at line rate: 160 records of 16 bytes, frame 1 the start,
    // 2 to 14 blocks, 15 the end; a frame sent again moves the frames after it up. An earlier run
    // left the instrument lit and a packet on the cable. Only a run whose every frame the
    // instrument confirmed shows the finished picture, and then it holds exactly the image and
    // took the end command last.
    void outcomes_data() {
        QTest::addColumn<Trouble>("o");
        // clang-format off
        QTest::newRow("start given up: maybe erased, no more box") << Trouble{{"1:noreply", "2:noreply"}, {Cancel}, {NoReply}, 2, Unlit};
        QTest::newRow("first block given up after the start took") << Trouble{{"2:noreply", "3:noreply"}, {Cancel, OK}, {NoReply, Aborted}, 3, Unlit};
        QTest::newRow("flash error on the start") << Trouble{{"1:status=16"}, {OK, OK}, {Flash, Aborted}, 1, Unlit};
        // The two replies lost became owed before this instrument's answer time was known: a
        // band learned meanwhile could be learned from replies one frame out of step, so every
        // later block is confirmed twice, and so is the end.
        QTest::newRow("silent twice, retry") << Trouble{{"3:noreply", "4:noreply"}, {Retry}, {NoReply}, 30, Finished};
        QTest::newRow("flash error on data") << Trouble{{"4:status=16"}, {OK, OK}, {Flash, Aborted}, 4, Unlit};
        QTest::newRow("end given up: all blocks in, not confirmed") << Trouble{{"end:noreply"}, {Cancel, OK}, {NoReply, Unconfirmed}, 16, Unlit};
        QTest::newRow("start 10 ms late, later 32") << Trouble{{"1:delay=3005", "5:status=32"}, {}, {}, 0, Finished};
        QTest::newRow("end slow: within its time-out") << Trouble{{"15:delay=2900"}, {}, {}, 15, Finished};
        // Its reply comes while the line settles: the end's own, late, with nothing owed.
        QTest::newRow("end past its time-out") << Trouble{{"15:delay=3100"}, {}, {}, 15, Finished};
        // Two faults at once, each reproduced on a real line: a late reply, then a lost frame, a
        // lost end or two refusals; a slow erase, then a lost frame; noise before a refusal, or
        // while a refused block crosses; a stray byte in front of a refusal.
        QTest::newRow("late 0.58 s, later a lost frame") << Trouble{{"6:delay=580", "12:lost"}, {}, {}, 0, Finished};
        QTest::newRow("late 1 s, later a lost frame") << Trouble{{"6:delay=1000", "12:lost"}, {}, {}, 0, Finished};
        QTest::newRow("late, every end lost") << Trouble{{"6:delay=580", "end:lost"}, {Cancel, OK}, {NoReply, Unconfirmed}, 0, Unlit};
        QTest::newRow("slow erase, later a lost frame") << Trouble{{"1:delay=3400", "9:lost"}, {}, {}, 0, Finished};
        QTest::newRow("late, two refusals, retry")
            << Trouble{{"6:delay=580", "13:status=32", "14:status=32"}, {Retry}, {Transmission}, 0, Finished};
        QTest::newRow("noise before a refusal") << Trouble{{"5:burst=0", "5:status=32"}, {}, {}, 0, Finished};
        QTest::newRow("noise while a refused block crosses") << Trouble{{"4:burst=30", "5:status=32"}, {}, {}, 0, Finished};
        QTest::newRow("a lost frame, a burst where its reply would be") << Trouble{{"5:lost", "5:burst=74"}, {}, {}, 0, Finished};
        QTest::newRow("a stray byte before a refusal") << Trouble{{"5:prefix=1", "5:status=32"}, {}, {}, 0, Finished};
        // A line that keeps casting doubt is put to the user; nothing is ever confirmed here.
        // The start's reply with a byte in front is still the start's; the first block's is in
        // doubt, three times silently, then the user is asked.
        QTest::newRow("doubt without end") << Trouble{{"any:prefix=1"}, {Cancel, OK}, {Transmission, Aborted}, 5, Unlit};
        // clang-format on
    }
    // Instruments that answer in their own time, each frame after it crossed and within its
    // time-out: every one is programmed without a question, a doubt costing a frame asked again
    // (160 records of 16 bytes: 13 blocks, 15 frames; 640: 51 blocks).
    void ownTime_data() {
        QTest::addColumn<Trouble>("o");
        // clang-format off
        QTest::newRow("flash time by block length") << Trouble{{"any:delay=0.5", "any:perbyte=20"}, {}, {}, 15, Finished};
        QTest::newRow("short blocks answered sooner")
            << Trouble{{"any:delay=0.5", "any:perbyte=20"}, {}, {}, 0, Finished, 160, 50};
        QTest::newRow("a 4 KiB sector erased at its first write") << Trouble{{"any:delay=0.5", "data:sector=4096:20-120"}, {}, {}, 0, Finished, 640};
        QTest::newRow("the end checks the flash for 2.9 s") << Trouble{{"any:delay=0.5", "any:endslow=2900"}, {}, {}, 15, Finished};
        QTest::newRow("a second flash bank 20 ms slower") << Trouble{{"any:delay=0.5", "data:step=4096:20"}, {}, {}, 0, Finished, 640};
        QTest::newRow("slower as it warms") << Trouble{{"any:delay=0.5", "any:drift=0-40"}, {}, {}, 0, Finished, 640};
        QTest::newRow("an adapter's 16 ms latency timer") << Trouble{{"any:delay=0.5", "any:ticks=16"}, {}, {}, 0, Finished, 640};
        QTest::newRow("a path of 5 to 40 ms") << Trouble{{"any:delay=0.5", "any:path=5-40"}, {}, {}, 0, Finished, 640};
        // clang-format on
    }
    void ownTime() { outcomes(); }

    // Late, repeated and talkative instruments: what the band and the owed replies are for.
    void pastTheHorizon_data() {
        QTest::addColumn<Trouble>("o");
        // clang-format off
        // A reply later than the settle waits for, or one sent twice, where a lost frame's reply
        // would be: on an image of 5 blocks (65 records) or 20, on a fast or a slow instrument.
        QTest::newRow("past the horizon, a block lost") << Trouble{{"3:delay=2650", "5:lost"}, {}, {}, 0, Finished, 65};
        QTest::newRow("past the horizon, just after it") << Trouble{{"3:delay=2565", "5:lost"}, {}, {}, 0, Finished, 65};
        QTest::newRow("past the horizon, the end lost") << Trouble{{"6:delay=2650", "8:lost"}, {}, {}, 0, Finished, 65};
        QTest::newRow("past the start's horizon, the first block lost") << Trouble{{"1:delay=4650", "3:lost"}, {}, {}, 0, Finished, 65};
        QTest::newRow("slow instrument, past the horizon, a block lost")
            << Trouble{{"3:delay=2680", "14:lost", "data:delay=100"}, {}, {}, 0, Finished, 260};
        QTest::newRow("a reply twice, a block lost") << Trouble{{"3:repeat=100", "4:lost"}, {}, {}, 0, Finished, 65};
        QTest::newRow("slow, a reply twice, a block lost")
            << Trouble{{"3:repeat=120", "4:lost", "data:delay=100"}, {}, {}, 0, Finished, 65};
        // An instrument that answers again after its end reply: one more pass from the erase,
        // then the run says so; two erases in all.
        QTest::newRow("answers again after the end") << Trouble{{"end:repeat=100"}, {OK}, {TalksAfterEnd}, 33, Unlit};
        // clang-format on
    }
    void pastTheHorizon() { outcomes(); }

    void outcomes() {
        QFETCH(Trouble, o);
        VirtualRunRig rig;
        rig.rules(o.rules);
        QList<quint32> addresses;
        const Lines lines = sectioned(o.records, o.section, &addresses);
        rig.w->CD_01.FileName = rig.writeImage(lines);
        rig.boxes.answers = o.answers;
        rig.w->Image5->setPicture(ImageList1::InstrumentLit);
        rig.w->Image3->setPicture(ImageList1::CablePacket);
        // The bar has passed every record the instrument holds.
        int behind = 0;
        connect(&rig.w->Comm1, &SerialComm::OnComm, this, [&] {
            const auto held = rig.memory();
            if (held.empty()) return;
            const auto record = std::upper_bound(addresses.cbegin(), addresses.cend(),
                                                 held.rbegin()->first);
            if (record - addresses.cbegin() > rig.w->PBLesen->value()) ++behind;
        });
        rig.w->cmdLesen_Click();
        QCOMPARE(behind, 0);
        QCOMPARE(rig.boxes.shown, o.boxes);
        if (o.frames) QCOMPARE(rig.framesSeen(), o.frames); // nothing more after giving up
        QCOMPARE(pictures(rig.w), o.after);
        QCOMPARE(controls(rig.w), Idle);
        QCOMPARE(rig.w->run().outcome() == RunOutcome::Completed, o.after == Finished);
        if (o.after == Finished)
            QVERIFY(rig.lastTaken() == q7310sim::FrameKind::End &&
                    rig.memory() == ImageBytes(lines));
    }

    // The adapter pulled under the run (the instrument hangs up on frame lostAt of 15; 15 is the
    // end): the box names port, device and the system's reason. Wiederholen opens the port again
    // and the run goes on with the frame in flight; while the device is missing it says why and
    // asks again; Abbrechen ends the run.
    void portLostMidRun_data() {
        QTest::addColumn<int>("lostAt");
        QTest::addColumn<int>("backAtBox"); // the box while which it is plugged back in; -1 never
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QStringList>("boxes"); // how each begins
        QTest::addColumn<QString>("after");
        const QString lost = "Die Verbindung über Com1 ist unterbrochen: ",
                      again = "Com1 kann nicht wieder geöffnet werden: ";
        // clang-format off
        QTest::newRow("back in, retry") << 6 << 0 << QList{Retry} << QStringList{lost} << Finished;
        QTest::newRow("back only later") << 6 << 1 << QList{Retry, Retry} << QStringList{lost, again} << Finished;
        QTest::newRow("lost on the end") << 15 << 0 << QList{Retry} << QStringList{lost} << Finished;
        QTest::newRow("given up") << 6 << -1 << QList{Retry, Cancel, OK} << QStringList{lost, again, Aborted.text} << Unlit;
        QTest::newRow("given up at the start") << 1 << -1 << QList{Cancel} << QStringList{lost} << Unlit;
        // clang-format on
    }
    void portLostMidRun() {
        QFETCH(int, lostAt);
        QFETCH(int, backAtBox);
        QFETCH(QList<int>, answers);
        QFETCH(QStringList, boxes);
        QFETCH(QString, after);
        VirtualRunRig rig;
        rig.port.device = rig.dir.filePath("com1");
        rig.rules({QStringLiteral("%1:hangup").arg(lostAt)});
        const Lines lines = contiguous(160, 16);
        rig.w->CD_01.FileName = rig.writeImage(lines);
        rig.boxes.answers = answers;
        const QString link = rig.port.device;
        rig.boxes.whileOpen = [&](const ShownBox &) {
            if (rig.boxes.shown.size() - 1 == backAtBox) rig.port.replug();
        };
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown.size(), boxes.size());
        for (int i = 0; i < boxes.size(); ++i)
            QVERIFY2(rig.boxes.shown[i].text.startsWith(boxes[i]),
                     qPrintable(rig.boxes.shown[i].text));
        const QString first = rig.boxes.shown[0].text;
        QVERIFY2(first.contains(
                     QRegularExpression(": [^(]+ \\(" + QRegularExpression::escape(link) + "\\)")),
                 qPrintable(first)); // a reason, then the device
        QCOMPARE(pictures(rig.w), after);
        QCOMPARE(controls(rig.w), Idle);
        QCOMPARE(rig.w->run().outcome() == RunOutcome::Completed, after == Finished);
        if (after == Finished)
            QVERIFY(rig.lastTaken() == q7310sim::FrameKind::End &&
                    rig.memory() == ImageBytes(lines));
    }

    // The start's reply cannot be displaced: nothing went before it on a purged line. Noise
    // around it, or the reply coming after its time-out while the line settles, leaves it the
    // start's: one erase, and the blocks follow (160 records: 15 frames).
    void noiseAroundTheStart_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::newRow("bytes in front of its reply") << QStringList{"1:prefix=2"};
        QTest::newRow("noise on both sides of its reply") << QStringList{"1:prefix=2", "1:long"};
        QTest::newRow("noise where its reply would come")
            << QStringList{"start:slow=50", "1:burst=2"};
        QTest::newRow("its reply after the time-out") << QStringList{"1:delay=3200"};
    }
    void noiseAroundTheStart() {
        QFETCH(QStringList, rules);
        VirtualRunRig rig;
        rig.rules(rules);
        const Lines lines = contiguous(160, 16);
        rig.w->CD_01.FileName = rig.writeImage(lines);
        rig.w->cmdLesen_Click();
        QVERIFY(rig.boxes.shown.isEmpty());
        QCOMPARE(rig.instrument.erases(), 1);
        QCOMPARE(rig.framesSeen(), 15);
        QVERIFY(rig.lastTaken() == q7310sim::FrameKind::End && rig.memory() == ImageBytes(lines));
        QCOMPARE(rig.w->run().outcome(), RunOutcome::Completed);
    }

    // After the end's reply an instrument leaves programming: a byte as its line resets, or a
    // greeting of the new firmware, is its own affair, shown in the monitor; frames it then
    // ignores are not sent. Bytes that may be a reply of ours (one is owed, or they hold one)
    // still cast doubt: the image goes again from the erase, and a second time ends the run.
    void afterTheEnd_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("erases");
        QTest::addColumn<QString>("monitor"); // the reply box at the end
        QTest::addColumn<bool>("completed");
        const QString greeting = QStringLiteral("51 37 33 31 30 20 56 32 2E 31 D A ");
        QTest::newRow("a byte as it resets") << QStringList{"end:talk=100"} << 15 << 1 << "FF "
                                             << true;
        QTest::newRow("a greeting, then deaf")
            << QStringList{"end:greet=100", "end:deaf"} << 15 << 1 << greeting << true;
        QTest::newRow("a greeting right behind its reply")
            << QStringList{"end:greet=0", "end:deaf"} << 15 << 1 << greeting << true;
        QTest::newRow("its reply late, a greeting behind")
            << QStringList{"15:delay=3100", "end:greet=0"} << 15 << 1 << greeting << true;
        QTest::newRow("still programming, silent") << QStringList{"end:stay"} << 15 << 1
                                                   << "10 FA 0 FA 16 " << true;
        // Two replies lost: the end goes twice, and so does the greeting; with replies owed,
        // it may be one of ours.
        QTest::newRow("a greeting while replies are owed")
            << QStringList{"3:noreply", "end:greet=100"} << 58 << 2 << greeting + greeting
            << false;
    }
    void afterTheEnd() {
        QFETCH(QStringList, rules);
        QFETCH(int, frames);
        QFETCH(int, erases);
        QFETCH(QString, monitor);
        QFETCH(bool, completed);
        VirtualRunRig rig;
        rig.rules(rules);
        rig.w->chkSSTest->click(); // the monitor on
        const Lines lines = contiguous(160, 16);
        rig.w->CD_01.FileName = rig.writeImage(lines);
        rig.boxes.answers = {OK};
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.framesSeen(), frames);
        QCOMPARE(rig.instrument.erases(), erases);
        QCOMPARE(rig.w->Text2->text(), monitor);
        QCOMPARE(rig.w->run().outcome() == RunOutcome::Completed, completed);
        QCOMPARE(rig.boxes.shown, completed ? QList<ShownBox>{} : QList<ShownBox>{TalksAfterEnd});
        QVERIFY(rig.lastTaken() == q7310sim::FrameKind::End && rig.memory() == ImageBytes(lines));
    }

    // Every run ends within its bound: an instrument that answers every block 0.8 s after it
    // arrived, past its time-out (2080 records, 160 blocks), is confirmed by its late replies,
    // asked again each, and reaches the bound of 4 tries of every frame with its time-out and a
    // minute before the end: 4 × (160 × (300 + 64.74) + 3006.02 + 3004.87) ms + 60 s = 317.5 s. The window asks what the instrument did; Wiederholen
    // begins a new bound and the run completes, Abbrechen ends it.
    void atItsBound_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("completed");
        QTest::newRow("go on") << Retry << true;
        QTest::newRow("give up") << Cancel << false;
    }
    void atItsBound() {
        QFETCH(int, answer);
        QFETCH(bool, completed);
        VirtualRunRig rig;
        rig.rules({"data:slow=800"});
        const Lines lines = contiguous(2080, 16);
        rig.w->CD_01.FileName = rig.writeImage(lines);
        rig.boxes.answers = {answer, OK};
        rig.w->cmdLesen_Click();
        QCOMPARE(rig.boxes.shown.size(), completed ? 1 : 2);
        const ShownBox bound = rig.boxes.shown[0];
        QCOMPARE(bound.style, 21);
        QVERIFY2(bound.text.startsWith("Die Übertragung hat ihre Zeitgrenze von 317 s erreicht") &&
                     bound.text.contains("Er antwortet später, als seine Wartezeit erlaubt") &&
                     bound.text.endsWith("\nWiederholen setzt die Übertragung fort."),
                 qPrintable(bound.text));
        if (!completed) QVERIFY(rig.boxes.shown[1].text.endsWith(Aborted.text));
        QCOMPARE(rig.w->run().outcome() == RunOutcome::Completed, completed);
        QCOMPARE(rig.lastTaken() == q7310sim::FrameKind::End && rig.memory() == ImageBytes(lines),
                 completed);
        QCOMPARE(rig.instrument.erases(), 1);
    }

    // During a run a second click, closing the window, the file button and "Beenden" do nothing,
    // also when their handlers are called; afterwards the focus is where it was.
    void busyRunRefusesWhatWouldDisturbIt() {
        VirtualRunRig rig;
        const Lines lines = contiguous(64, 16);
        rig.w->CD_01.FileName = rig.writeImage(lines);
        bool closed = true;
        connect(&rig.w->Comm1, &SerialComm::OnComm, this, [&] {
            if (rig.framesSeen() != 3) return;
            rig.w->cmdLesen_Click();
            rig.w->cmdDatei_Click(); // no dialog is scripted
            rig.w->cmdEnd_Click();
            closed = rig.w->close();
        });
        rig.w->cmdLesen->setFocus();
        rig.w->cmdLesen_Click();
        QVERIFY(!closed);
        QCOMPARE(rig.ended, 0);
        QCOMPARE(rig.w->focusWidget(), rig.w->cmdLesen);
        QCOMPARE(rig.dialog.opened, 0);
        QCOMPARE(rig.framesSeen(), 7); // one start, five blocks, one end
        QVERIFY(rig.boxes.shown.isEmpty() && rig.memory() == ImageBytes(lines));
        rig.dialog.choices = {QString()};
        QTest::mouseClick(rig.w->cmdDatei, Qt::LeftButton); // idle again: both work
        QCOMPARE(rig.dialog.opened, 1);
        QVERIFY(rig.w->close());
    }
};

QTEST_MAIN(TestRun)
#include "tst_run.moc"
