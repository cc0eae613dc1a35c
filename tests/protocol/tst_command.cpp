// The exchange of a frame and the command routine against the simulated instrument in simulated
// time, at 38400 baud: how long a silent instrument is waited for, what casts doubt, a line that
// keeps chattering; retries, the error boxes, the answers of the user, and what the front hears
// of it per command code.

#include "support/Virtual.h"

#include <QTest>
#include <cmath>

using K = q7310sim::FrameKind;

namespace {
const QString Fehler = QStringLiteral("Fehler");
const ShownBox NoReply{QString::fromUtf8(Texts::NoReply), 21, Fehler};
const ShownBox Transmission{QString::fromUtf8(Texts::TransmissionError), 21, Fehler};
const ShownBox Flash{QString::fromUtf8(Texts::FlashError), 16, Fehler};
const int OK = MsgAnswer::OK, Retry = MsgAnswer::Retry, Cancel = MsgAnswer::Cancel;
const auto Accepted = Outcome::Accepted, GivenUp = Outcome::GivenUp;

struct Attempts {
    QStringList rules;
    QList<int> answers;
    int frames;
    QList<ShownBox> boxes;
    Outcome outcome;
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
    // A silent instrument: each attempt waits for its reply until the time-out, which counts
    // from when the frame and its reply can have crossed the line (a block of 208 bytes and its
    // reply: 64.5 ms at 38400 baud; the end and its reply: 4.9 ms); then for a late one until
    // no reply can come any more (after a block 2.5 s, after a start or an end 4.5 s), and for
    // the line to have been quiet for 300 ms; a settle lasts 3 s at most, and the next frame
    // waits for the rest.
    void silentInstrumentTimesOut_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("interval"); // Timer1's
        QTest::addColumn<int>("waited");   // ms from the send
        QTest::addColumn<int>("next");     // ms from the send to the next frame
        QTest::newRow("block, 3000 ms") << Command::Data << 3000 << 3365 << 3365;
        QTest::newRow("block, 300 ms") << Command::Data << 300 << 2500 << 2500;
        QTest::newRow("end, 300 ms") << Command::End << 300 << 3305 << 4500;
    }
    void silentInstrumentTimesOut() {
        QFETCH(int, code);
        QFETCH(int, interval);
        QFETCH(int, waited);
        QFETCH(int, next);
        VirtualRig rig;
        rig.rules({"any:noreply"});
        rig.st.BlockData = QByteArray(208, '\0');
        code == Command::End ? BuildEndFrame(rig.st) : void(BuildDataFrame(rig.st));
        rig.Timer1.setInterval(interval);
        rig.Timer1.start();
        rig.time.pass(std::chrono::milliseconds(200)); // most of a still running interval passes
        const double sent = rig.ms();
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 255);
        QCOMPARE(std::ceil(rig.ms() - sent), waited);
        rig.module.ExchangeFrame();
        const auto between = rig.frames()[1].at - rig.frames()[0].at;
        QCOMPARE(std::ceil(std::chrono::duration<double, std::milli>(between).count()), next);
    }

    // A byte that is not the reply to the frame in flight casts doubt: one that comes before the
    // frame can have crossed the line, one right behind a reply, one while the line settles after
    // an attempt, and noise that makes a refusal look like another status. 1 a start frame, 2 a
    // block of 208 bytes (63 ms on the line); "after": doubt and status after each.
    void unexplainedBytesCastDoubt_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("sent");
        QTest::newRow("clean") << QStringList{} << "0 0, 0 0" << 2;
        QTest::newRow("noise while the block crosses")
            << QStringList{"1:burst=40"} << "0 0, 1 255" << 2;
        // Right behind the reply taken: waiting when the next frame is due, which is kept back.
        QTest::newRow("a byte behind the reply") << QStringList{"1:long"} << "0 0, 1 255" << 1;
        // After a time-out one reply alone while the line settles is the attempt's own, late;
        // two are not.
        QTest::newRow("the start's reply late, while settling")
            << QStringList{"1:delay=3200"} << "0 0, 0 0" << 2;
        QTest::newRow("a late reply and another while settling")
            << QStringList{"2:delay=400", "2:repeat=60"} << "0 0, 1 255" << 2;
        QTest::newRow("noise before a refusal")
            << QStringList{"2:prefix=2", "2:status=32"} << "0 0, 1 255" << 2;
    }
    void unexplainedBytesCastDoubt() {
        QFETCH(QStringList, rules);
        QFETCH(QString, after);
        QFETCH(int, sent);
        VirtualRig rig;
        rig.rules(rules);
        QStringList seen;
        for (int frame = 1; frame <= 2; ++frame) {
            if (frame == 1) {
                BuildStartFrame(rig.st);
                rig.Timer1.setInterval(Module1::StartReplyTimeoutMs);
            } else {
                rig.st.BlockData = QByteArray(208, '\0');
                rig.st.BlockSum = 0;
                BuildDataFrame(rig.st);
            }
            rig.module.ExchangeFrame();
            seen << QStringLiteral("%1 %2")
                        .arg(rig.judge.outcome() == Outcome::Doubt)
                        .arg(rig.st.ReplyStatus);
            rig.time.pass(std::chrono::milliseconds(20));
        }
        QCOMPARE(seen.join(", "), after);
        QCOMPARE(rig.framesSeen(), sent);
    }

    // A chattering line: every settle ends within its bound, and the frame waits for a quiet line.
    void chatteringLineIsNotWaitedForForever() {
        VirtualRig rig;
        rig.rules({"1:chatter=5000"});
        BuildEndFrame(rig.st);
        QList<int> took;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const double before = rig.ms();
            rig.module.ExchangeFrame();
            took << int(std::ceil(rig.ms() - before));
            QCOMPARE(rig.judge.outcome() == Outcome::Doubt, attempt < 2);
        }
        // No reply by the time-out (300 ms after the end frame and its reply can have crossed,
        // 4.9 ms), then 3 s of chatter; 2 s more of it, kept back; then quiet, sent, taken.
        QCOMPARE(took, (QList<int>{3305, 1949, 5}));
        QCOMPARE(rig.framesSeen(), 2);
        QCOMPARE(rig.st.ReplyStatus, 0);
    }

    void attempts_data() {
        QTest::addColumn<Attempts>("a");
        const int Data = Command::Data, Start = Command::Start;
        const auto Flashed = Outcome::FlashError;
        // clang-format off
        const QString silent = "contact off, silent, box, answering";
        // A reply missing, or cut short, may still come and stand in for the next attempt's: the
        // end's confirmation is confirmed once more.
        QTest::newRow("one missing reply") << Attempts{{"1:noreply"}, {}, 3, {}, Accepted, 0, ""};
        QTest::newRow("missing, short, retry") << Attempts{{"1:noreply", "2:short=3"}, {Retry}, 4, {NoReply}, Accepted, 0, silent};
        QTest::newRow("missing, then 16") << Attempts{{"1:noreply", "2:status=16"}, {OK}, 2, {Flash}, Flashed, 0, "box"};
        QTest::newRow("32 twice, retry") << Attempts{{"1:status=32", "2:status=32"}, {Retry}, 3, {Transmission}, Accepted, 0, "box"};
        QTest::newRow("missing, then 32: reported as 32")
            << Attempts{{"1:noreply", "2:status=32"}, {Cancel}, 2, {Transmission}, GivenUp, 32, "box"};
        QTest::newRow("32, then missing: reported as missing")
            << Attempts{{"1:status=32", "2:noreply"}, {Cancel}, 2, {NoReply}, GivenUp, 255, silent};
        QTest::newRow("an unknown status forever ends with the user")
            << Attempts{{"any:status=1"}, {Retry, Cancel}, 4, {Transmission, Transmission}, GivenUp, 1, "box, box"};
        // The start command (an erase) and the end command (a check of the flash) wait up to
        // 3000 ms for each attempt, a block 300 ms; the start switches the contact animation
        // on, a data command off, the end command and others leave it.
        QTest::newRow("start: a slow reply is in time")
            << Attempts{{"1:delay=2900"}, {}, 1, {}, Accepted, 0, "contact on, start sent", Start, K::Start};
        QTest::newRow("end: a slow reply is in time") << Attempts{{"1:delay=2900"}, {}, 1, {}, Accepted, 0, ""};
        // The same reply late for a block: it comes while the line settles, confirms the block
        // out of this instrument's time, and the block is asked again, without a box.
        QTest::newRow("data: the same reply is late")
            << Attempts{{"1:delay=800", "any:status=0"}, {}, 2, {}, Accepted, 0, "contact off, contact off", Data, K::Data, 2};
        QTest::newRow("data") << Attempts{{"any:status=0"}, {}, 1, {}, Accepted, 0, "contact off", Data, K::Data, 2};
        QTest::newRow("7: a data frame, animation untouched")
            << Attempts{{"any:status=0"}, {}, 1, {}, Accepted, 0, "", 7, K::Data, 2};
        // The instrument takes only what it answers with 0, also when the answer is lost.
        QTest::newRow("data refused twice, cancel")
            << Attempts{{"1:status=32", "2:status=32", "any:status=0"}, {Cancel}, 2, {Transmission},
                        GivenUp, 32, "contact off, contact off, box", Data, K::Data};
        // The answer it did not get may still come and stand in for the next: confirmed twice.
        QTest::newRow("data answer lost, resent")
            << Attempts{{"1:noreply", "any:status=0"}, {}, 3, {}, Accepted, 0, "contact off, contact off, contact off", Data, K::Data, 2};
        // clang-format on
    }
    void attempts() {
        QFETCH(Attempts, a);
        VirtualRig rig;
        rig.rules(a.rules);
        rig.boxes.answers = a.answers;
        rig.st.BlockAddress = 0x100;
        rig.st.BlockData = "\x01\x02";
        rig.st.BlockSum = 3;
        rig.module.SendCommand(a.code);
        QCOMPARE(rig.front.told.join(", "), a.told);
        QCOMPARE(rig.frames().back().kind, a.kind);
        QCOMPARE(rig.boxes.shown, a.boxes);
        QCOMPARE(rig.framesSeen(), a.frames);
        QCOMPARE(rig.st.LastOutcome, a.outcome);
        QCOMPARE(rig.st.CommandFailed, a.outcome == GivenUp);
        QCOMPARE(rig.st.ReplyStatus, a.status);
        QCOMPARE(int(rig.memory().size()), a.written);
        QVERIFY(rig.boxes.answers.isEmpty());
    }

    // A line that was still chattering when the last command gave up is settled before the
    // next frame; a new run starts afresh, and a line that fell quiet when it settled is not
    // settled again: their first frames go out at once.
    void settleOnlyWhereNeeded() {
        VirtualRig rig;
        rig.rules({"1:chatter=3500", "3:status=32"});
        auto start = [&] {
            const double before = rig.ms();
            rig.module.SendCommand(Command::Start);
            return rig.ms() - before;
        };
        start();
        QCOMPARE(rig.st.LastOutcome, Outcome::Doubt);
        rig.time.pass(std::chrono::milliseconds(600)); // the line has fallen quiet
        rig.comm.DiscardInput();
        rig.module.beginRun();
        QCOMPARE_LT(start(), 10); // the start frame and its reply: 7.3 ms on the line
        start(); // refused, settled, sent again and taken
        QCOMPARE(rig.framesSeen(), 4);
        QCOMPARE_LT(start(), 10);
        QCOMPARE(rig.st.LastOutcome, Accepted);
    }

    void oversizeBlockIsNeverSent() {
        VirtualRig rig;
        rig.st.BlockData = QByteArray(249, '\x01');
        rig.module.SendCommand(Command::Data);
        QCOMPARE(rig.st.LastOutcome, Outcome::Unbuildable);
        QVERIFY(rig.st.CommandFailed);
        rig.time.pass(std::chrono::seconds(1));
        QCOMPARE(rig.framesSeen(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_command.moc"
