// The command routine against the simulated instrument: retries, the error boxes, the answers
// of the user, and what the front hears of it per command code.

#include "support/Rigs.h"

#include <QElapsedTimer>
#include <QTest>

using K = q7310sim::FrameKind;

namespace {
const QString Fehler = QStringLiteral("Fehler");
const ShownBox NoReply{QString::fromUtf8(Texts::NoReply), 21, Fehler};
const ShownBox Transmission{QString::fromUtf8(Texts::TransmissionError), 21, Fehler};
const ShownBox Flash{QString::fromUtf8(Texts::FlashError), 16, Fehler};
const int OK = MsgAnswer::OK, Retry = MsgAnswer::Retry, Cancel = MsgAnswer::Cancel;
const auto Accepted = CommandOutcome::Accepted, GivenUp = CommandOutcome::GivenUp;

struct Attempts {
    QStringList rules;
    QList<int> answers;
    int frames;
    QList<ShownBox> boxes;
    CommandOutcome outcome;
    int status;
    QString told; // what the front heard, boxes included
    int code = Command::End;
    K kind = K::End; // of the last frame
    int written = 0; // bytes the instrument holds afterwards
};

} // namespace

class TestCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void attempts_data() {
        QTest::addColumn<Attempts>("a");
        const int Data = Command::Data, Start = Command::Start;
        const auto Flashed = CommandOutcome::FlashError;
        // clang-format off
        const QString silent = "contact off, silent, box, answering";
        QTest::newRow("one missing reply") << Attempts{{"1:noreply"}, {}, 2, {}, Accepted, 0, ""};
        QTest::newRow("missing, short, retry") << Attempts{{"1:noreply", "2:short=3"}, {Retry}, 3, {NoReply}, Accepted, 0, silent};
        QTest::newRow("missing, then 16") << Attempts{{"1:noreply", "2:status=16"}, {OK}, 2, {Flash}, Flashed, 0, "box"};
        QTest::newRow("32 twice, retry") << Attempts{{"1:status=32", "2:status=32"}, {Retry}, 3, {Transmission}, Accepted, 0, "box"};
        QTest::newRow("missing, then 32: reported as 32")
            << Attempts{{"1:noreply", "2:status=32"}, {Cancel}, 2, {Transmission}, GivenUp, 32, "box"};
        QTest::newRow("32, then missing: reported as missing")
            << Attempts{{"1:status=32", "2:noreply"}, {Cancel}, 2, {NoReply}, GivenUp, 255, silent};
        QTest::newRow("an unknown status forever ends with the user")
            << Attempts{{"any:status=1"}, {Retry, Cancel}, 4, {Transmission, Transmission}, GivenUp, 1, "box, box"};
        // The start command waits up to 3000 ms for each attempt, the others 300 ms; it switches
        // the contact animation on, a data command off, the end command and others leave it.
        QTest::newRow("start: a slow reply is in time")
            << Attempts{{"1:delay=800"}, {}, 1, {}, Accepted, 0, "contact on, start sent", Start, K::Start};
        // The same reply late for the end: it comes while the line settles, and the command
        // ends at once, without a box, for the caller to send what is in doubt again.
        QTest::newRow("end: the same reply is late")
            << Attempts{{"1:delay=800"}, {}, 1, {}, CommandOutcome::Doubt, 255, ""};
        QTest::newRow("data") << Attempts{{"any:status=0"}, {}, 1, {}, Accepted, 0, "contact off", Data, K::Data, 2};
        QTest::newRow("7: a data frame, animation untouched")
            << Attempts{{"any:status=0"}, {}, 1, {}, Accepted, 0, "", 7, K::Data, 2};
        // The instrument takes only what it answers with 0, also when the answer is lost.
        QTest::newRow("data refused twice, cancel")
            << Attempts{{"1:status=32", "2:status=32", "any:status=0"}, {Cancel}, 2, {Transmission},
                        GivenUp, 32, "contact off, contact off, box", Data, K::Data};
        QTest::newRow("data answer lost, resent")
            << Attempts{{"1:noreply", "any:status=0"}, {}, 2, {}, Accepted, 0, "contact off, contact off", Data, K::Data, 2};
        // clang-format on
    }
    void attempts() {
        QFETCH(Attempts, a);
        SimRig rig(Fast());
        START_RIG(rig, a.rules);
        rig.boxes.answers = a.answers;
        rig.st.BlockAddress = 0x100;
        rig.st.BlockData = "\x01\x02";
        rig.st.BlockSum = 3;
        rig.module.SendCommand(a.code);
        QCOMPARE(rig.front.told.join(", "), a.told);
        QCOMPARE(rig.sim.frames().back().kind, a.kind);
        QCOMPARE(rig.boxes.shown, a.boxes);
        QCOMPARE(rig.framesSeen(), a.frames);
        QCOMPARE(rig.st.LastOutcome, a.outcome);
        QCOMPARE(rig.st.CommandFailed, a.outcome == GivenUp);
        QCOMPARE(rig.st.ReplyStatus, a.status);
        QCOMPARE(int(rig.sim.memory().size()), a.written);
        QVERIFY(rig.boxes.answers.isEmpty());
    }

    // A line that was still chattering when the last command gave up is settled before the
    // next frame; a new run starts afresh, and a line that fell quiet when it settled is not
    // settled again: their first frames go out at once.
    void settleOnlyWhereNeeded() {
        SimRig rig(Fast());
        START_RIG(rig, {"1:chatter=3500", "3:status=32"});
        auto start = [&] {
            QElapsedTimer clock;
            clock.start();
            rig.module.SendCommand(Command::Start);
            return clock.elapsed();
        };
        start();
        QCOMPARE(rig.st.LastOutcome, CommandOutcome::Doubt);
        QTest::qWait(600); // the line has fallen quiet, and what it said is gone
        rig.comm.DiscardInput();
        rig.module.beginRun();
        QCOMPARE_LT(start(), ReplyReception::ReplyTimeoutMs);
        start(); // refused, settled, sent again and taken
        QCOMPARE(rig.framesSeen(), 4);
        QCOMPARE_LT(start(), ReplyReception::ReplyTimeoutMs);
        QCOMPARE(rig.st.LastOutcome, Accepted);
    }

    void badRules() { // the simulator's command line refuses them
        for (const char *text :
             {"noreply", "0:noreply", "1:explode", "1:delay=soon", "some:noreply"}) {
            q7310sim::Rule r;
            std::string error;
            QVERIFY2(!q7310sim::ParseRule(text, r, error) && !error.empty(), text);
        }
    }

    void oversizeBlockIsNeverSent() {
        SimRig rig(Fast());
        START_RIG(rig);
        rig.st.BlockData = QByteArray(249, '\x01');
        rig.module.SendCommand(Command::Data);
        QCOMPARE(rig.st.LastOutcome, CommandOutcome::Refused);
        QVERIFY(rig.st.CommandFailed);
        QTest::qWait(50);
        QCOMPARE(rig.framesSeen(), 0);
    }
};

QTEST_MAIN(TestCommand)
#include "tst_command.moc"
