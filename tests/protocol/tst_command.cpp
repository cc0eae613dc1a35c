// The command routine against the simulated instrument: retries, the error boxes, the answers
// of the user, the error pictures and the timers per command code.

#include "support/SimRig.h"

#include <QElapsedTimer>
#include <QTest>

using q7310sim::FrameKind;
using q7310sim::Rule;

namespace {

const ShownBox NoReplyBox{QString::fromUtf8(Texts::NoReply), 21, QStringLiteral("Fehler")};
const ShownBox TransmissionBox{QString::fromUtf8(Texts::TransmissionError), 21,
                               QStringLiteral("Fehler")};
const ShownBox FlashBox{QString::fromUtf8(Texts::FlashError), 16, QStringLiteral("Fehler")};

} // namespace

class TestCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void retriesAndBoxes_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QList<ShownBox>>("boxes");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("status");
        using A = QList<int>;
        using B = QList<ShownBox>;
        const int ok = int(CommandOutcome::Accepted), gaveUp = int(CommandOutcome::GivenUp),
                  flash = int(CommandOutcome::FlashError);
        QTest::newRow("accepted at once") << QStringList{} << A{} << 1 << B{} << ok << 0;
        QTest::newRow("one missing reply")
            << QStringList{"1:noreply"} << A{} << 2 << B{} << ok << 0;
        QTest::newRow("one status 32") << QStringList{"1:status=32"} << A{} << 2 << B{} << ok << 0;
        QTest::newRow("two missing, retry") << QStringList{"1:noreply", "2:noreply"}
                                            << A{MsgAnswer::Retry} << 3 << B{NoReplyBox} << ok << 0;
        QTest::newRow("two missing, cancel")
            << QStringList{"1:noreply", "2:noreply"} << A{MsgAnswer::Cancel} << 2 << B{NoReplyBox}
            << gaveUp << 255;
        QTest::newRow("two short replies count as missing")
            << QStringList{"1:short=3", "2:long"} << A{MsgAnswer::Cancel} << 2 << B{NoReplyBox}
            << gaveUp << 255;
        QTest::newRow("four missing, retry, retry")
            << QStringList{"1:noreply", "2:noreply", "3:noreply", "4:noreply"}
            << A{MsgAnswer::Retry, MsgAnswer::Retry} << 5 << B{NoReplyBox, NoReplyBox} << ok << 0;
        QTest::newRow("status 16 at once")
            << QStringList{"1:status=16"} << A{MsgAnswer::OK} << 1 << B{FlashBox} << flash << 0;
        QTest::newRow("missing, then 16") << QStringList{"1:noreply", "2:status=16"}
                                          << A{MsgAnswer::OK} << 2 << B{FlashBox} << flash << 0;
        QTest::newRow("32 twice, retry")
            << QStringList{"1:status=32", "2:status=32"} << A{MsgAnswer::Retry} << 3
            << B{TransmissionBox} << ok << 0;
        QTest::newRow("32 twice, cancel")
            << QStringList{"1:status=32", "2:status=32"} << A{MsgAnswer::Cancel} << 2
            << B{TransmissionBox} << gaveUp << 32;
        QTest::newRow("missing then 32: reported as 32")
            << QStringList{"1:noreply", "2:status=32"} << A{MsgAnswer::Cancel} << 2
            << B{TransmissionBox} << gaveUp << 32;
        QTest::newRow("32 then missing: reported as missing")
            << QStringList{"1:status=32", "2:noreply"} << A{MsgAnswer::Cancel} << 2 << B{NoReplyBox}
            << gaveUp << 255;
        QTest::newRow("unknown status forever ends with the user")
            << QStringList{"any:status=1"} << A{MsgAnswer::Retry, MsgAnswer::Cancel} << 4
            << B{TransmissionBox, TransmissionBox} << gaveUp << 1;
    }
    void retriesAndBoxes() {
        QFETCH(QStringList, rules);
        QFETCH(QList<int>, answers);
        QFETCH(int, frames);
        QFETCH(QList<ShownBox>, boxes);
        QFETCH(int, outcome);
        QFETCH(int, status);
        SimRig rig;
        START_SIM_RIG(rig, rules);
        rig.boxes.answers = answers;
        rig.module.SendCommand(Command::End);
        QCOMPARE(rig.boxes.shown, boxes);
        QCOMPARE(rig.framesSeen(), frames);
        QCOMPARE(int(rig.st.LastOutcome), outcome);
        QCOMPARE(rig.st.CommandFailed, outcome == int(CommandOutcome::GivenUp));
        QCOMPARE(rig.st.ReplyStatus, status);
        QVERIFY(rig.boxes.answers.isEmpty());
    }

    void errorPicturesWhileTheBoxIsOpen() {
        SimRig rig;
        START_SIM_RIG(rig, {"1:noreply", "2:noreply"});
        rig.boxes.answers = {MsgAnswer::Cancel};
        struct Seen {
            bool i2, i3, i4, i6, timer3;
            int picture3;
        } seen{};
        rig.boxes.whileOpen = [&](const ShownBox &) {
            seen = {rig.Image2->isVisible(), rig.Image3->isVisible(), rig.Image4->isVisible(),
                    rig.Image6->isVisible(), rig.Timer3.isActive(),   rig.Image3->picture()};
        };
        rig.Timer3.start();
        rig.module.SendCommand(Command::End);
        QVERIFY(seen.i2 && seen.i3 && !seen.i4 && seen.i6);
        QVERIFY(!seen.timer3); // the contact animation stops for the box
        QCOMPARE(seen.picture3, ImageList1::CableBroken);
        QVERIFY(!rig.Image2->isVisible() && !rig.Image3->isVisible());
        QVERIFY(!rig.Image4->isVisible() && !rig.Image6->isVisible());
        QCOMPARE(rig.Image3->picture(), ImageList1::CableIdle);
        QVERIFY(!rig.Timer3.isActive());
    }

    void timersPerCode_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("timer3Before");
        QTest::addColumn<bool>("timer3After");
        QTest::addColumn<int>("kind");
        QTest::newRow("1: contact animation on") << 1 << false << true << int(FrameKind::Start);
        QTest::newRow("2: contact animation off") << 2 << true << false << int(FrameKind::Data);
        QTest::newRow("3 leaves it on") << 3 << true << true << int(FrameKind::End);
        QTest::newRow("3 leaves it off") << 3 << false << false << int(FrameKind::End);
        QTest::newRow("7: a data frame, animation untouched")
            << 7 << true << true << int(FrameKind::Data);
    }
    void timersPerCode() {
        QFETCH(int, code);
        QFETCH(bool, timer3Before);
        QFETCH(bool, timer3After);
        QFETCH(int, kind);
        SimRig rig;
        START_SIM_RIG(rig);
        if (code != Command::Start) {
            rig.module.SendCommand(Command::Start); // programming mode for the data frames
            rig.Timer3.stop();
        }
        if (timer3Before) rig.Timer3.start();
        rig.prepareData(0x100, "\x01\x02");
        rig.module.SendCommand(code);
        QCOMPARE(rig.Timer3.isActive(), timer3After);
        QCOMPARE(int(rig.sim.frames().back().kind), kind);
        QCOMPARE(rig.st.LastOutcome, CommandOutcome::Accepted);
        QCOMPARE(rig.Timer1.interval(), 300); // a complete reply puts it back
    }

    // The start command waits up to 3000 ms for each attempt, the others 300 ms.
    void startCommandWaitsLonger_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("frames");
        QTest::newRow("start: a slow reply is in time") << 1 << 1;
        QTest::newRow("end: the same reply is late") << 3 << 2;
    }
    void startCommandWaitsLonger() {
        QFETCH(int, code);
        QFETCH(int, frames);
        SimRig rig;
        START_SIM_RIG(rig, {"1:delay=800"});
        rig.module.SendCommand(code);
        QCOMPARE(rig.framesSeen(), frames);
        QCOMPARE(rig.st.LastOutcome, CommandOutcome::Accepted);
        QVERIFY(rig.boxes.shown.isEmpty());
    }

    void oversizeBlockIsNeverSent() {
        SimRig rig;
        START_SIM_RIG(rig);
        rig.prepareData(0, QByteArray(249, '\x01'));
        rig.module.SendCommand(Command::Data);
        QCOMPARE(rig.st.LastOutcome, CommandOutcome::Refused);
        QVERIFY(rig.st.CommandFailed);
        QTest::qWait(50);
        QCOMPARE(rig.framesSeen(), 0);
    }
};

QTEST_MAIN(TestCommand)
#include "tst_command.moc"
