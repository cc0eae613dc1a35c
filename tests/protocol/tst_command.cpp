// The command routine against the simulated instrument: retries, the error boxes, the answers
// of the user, the error pictures and the timers per command code.

#include "support/Rigs.h"

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
    int code = Command::End;
    bool timer3Before = false, timer3After = false; // the contact animation
    K kind = K::End;                                // of the last frame
};

} // namespace

class TestCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void attempts_data() {
        QTest::addColumn<Attempts>("a");
        QTest::newRow("accepted at once") << Attempts{{}, {}, 1, {}, Accepted, 0};
        QTest::newRow("one missing reply") << Attempts{{"1:noreply"}, {}, 2, {}, Accepted, 0};
        QTest::newRow("two missing, retry, two short, retry")
            << Attempts{{"1:noreply", "2:noreply", "3:short=3", "4:long"},
                        {Retry, Retry},
                        5,
                        {NoReply, NoReply},
                        Accepted,
                        0};
        QTest::newRow("two missing, cancel")
            << Attempts{{"1:noreply", "2:noreply"}, {Cancel}, 2, {NoReply}, GivenUp, 255};
        QTest::newRow("status 16 at once")
            << Attempts{{"1:status=16"}, {OK}, 1, {Flash}, CommandOutcome::FlashError, 0};
        QTest::newRow("missing, then 16") << Attempts{
            {"1:noreply", "2:status=16"}, {OK}, 2, {Flash}, CommandOutcome::FlashError, 0};
        QTest::newRow("32 twice, retry")
            << Attempts{{"1:status=32", "2:status=32"}, {Retry}, 3, {Transmission}, Accepted, 0};
        QTest::newRow("missing, then 32: reported as 32")
            << Attempts{{"1:noreply", "2:status=32"}, {Cancel}, 2, {Transmission}, GivenUp, 32};
        QTest::newRow("32, then missing: reported as missing")
            << Attempts{{"1:status=32", "2:noreply"}, {Cancel}, 2, {NoReply}, GivenUp, 255};
        QTest::newRow("an unknown status forever ends with the user") << Attempts{
            {"any:status=1"}, {Retry, Cancel}, 4, {Transmission, Transmission}, GivenUp, 1};
        // The start command waits up to 3000 ms for each attempt, the others 300 ms; it switches
        // the contact animation on, a data command off, the end command and others leave it.
        QTest::newRow("start: a slow reply is in time") << Attempts{
            {"1:delay=800"}, {}, 1, {}, Accepted, 0, Command::Start, false, true, K::Start};
        QTest::newRow("data") << Attempts{{"any:status=0"}, {},   1,     {},     Accepted, 0,
                                          Command::Data,    true, false, K::Data};
        QTest::newRow("end, animation on")
            << Attempts{{}, {}, 1, {}, Accepted, 0, Command::End, true, true};
        QTest::newRow("7: a data frame, animation untouched")
            << Attempts{{"any:status=0"}, {}, 1, {}, Accepted, 0, 7, true, true, K::Data};
        QTest::newRow("end: the same reply is late")
            << Attempts{{"1:delay=800"}, {}, 2, {}, Accepted, 0};
    }
    void attempts() {
        QFETCH(Attempts, a);
        SimRig rig;
        START_RIG(rig, a.rules);
        rig.boxes.answers = a.answers;
        a.timer3Before ? rig.Timer3.start() : rig.Timer3.stop();
        rig.prepareData(0x100, "\x01\x02");
        rig.module.SendCommand(a.code);
        QCOMPARE(rig.Timer3.isActive(), a.timer3After);
        QCOMPARE(rig.sim.frames().back().kind, a.kind);
        if (a.outcome == Accepted)
            QCOMPARE(rig.Timer1.interval(), 300); // a complete reply resets it
        QCOMPARE(rig.boxes.shown, a.boxes);
        QCOMPARE(rig.framesSeen(), a.frames);
        QCOMPARE(rig.st.LastOutcome, a.outcome);
        QCOMPARE(rig.st.CommandFailed, a.outcome == GivenUp);
        QCOMPARE(rig.st.ReplyStatus, a.status);
        QVERIFY(rig.boxes.answers.isEmpty());
    }

    void errorPicturesWhileTheBoxIsOpen() {
        SimRig rig;
        START_RIG(rig, {"1:noreply", "2:noreply"});
        rig.boxes.answers = {Cancel};
        auto pictures = [&]() -> QString {
            QString s;
            for (PictureBox *b : {rig.Image2, rig.Image3, rig.Image4, rig.Image6})
                s += QString::number(b->picture()) + (b->isVisible() ? "v" : "h");
            return s + (rig.Timer3.isActive() ? " on" : " off");
        };
        QString seen;
        rig.boxes.whileOpen = [&](const ShownBox &) { seen = pictures(); };
        rig.Timer3.start();
        rig.module.SendCommand(Command::End);
        QCOMPARE(seen, QStringLiteral("0v6v0h0v off")); // broken cable, sleep mark, no animation
        QCOMPARE(pictures(), QStringLiteral("0h1h0h0h off"));
    }

    void oversizeBlockIsNeverSent() {
        SimRig rig;
        START_RIG(rig);
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
