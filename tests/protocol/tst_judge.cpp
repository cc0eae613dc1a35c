// The judge of replies on its own, fed as the receive handler and the exchange feed it: which
// replies it believes once it has seen how this instrument answers, what stays owed, and how far
// a repair goes back.

#include "protocol/Frames.h"
#include "protocol/ReplyJudge.h"
#include "serial/SerialComm.h"

#include <QFile>
#include <QTest>

#include <functional>
#if defined(Q_OS_LINUX)
#include <pthread.h>
#include <sched.h>
#include <thread>
#endif

using namespace std::chrono;
using ns = nanoseconds;

namespace {
const QString Line = QStringLiteral("38400,e,8,1");
const QByteArray Ok("\x10\xFA\x00\xFA\x16", 5);

ns ms(double v) {
    return duration_cast<ns>(duration<double, std::milli>(v));
}

// One attempt of a 208-byte block (or the end) answered `turnaround` after the frame and reply
// crossed.
ReplyVerdict answer(ReplyJudge &judge, const QByteArray &reply, ns turnaround,
                    ReplyJudge::Frame kind = ReplyJudge::Frame::Block,
                    const std::function<void()> &meanwhile = {}) {
    const ns frame = LineTime(221, Line), back = LineTime(Frames::ReplyBytes, Line);
    const auto sent = ReplyJudge::Clock::now();
    judge.beginAttempt();
    judge.frameSent(sent, frame, back, kind);
    if (meanwhile) meanwhile();
    judge.replyTaken(sent + frame + back + turnaround);
    return judge.judge(reply, true);
}

#if defined(Q_OS_LINUX)
void busyFor(ns d) {
    for (const auto end = steady_clock::now() + d; steady_clock::now() < end;) {
    }
}
// Busy for `d` on one processor with another busy thread: this one waits for it about half that.
void shareProcessor(ns d) {
    cpu_set_t before, one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    ::sched_getaffinity(0, sizeof before, &before);
    ::sched_setaffinity(0, sizeof one, &one);
    std::thread other([&] {
        ::pthread_setaffinity_np(::pthread_self(), sizeof one, &one);
        busyFor(d);
    });
    busyFor(d);
    other.join();
    ::sched_setaffinity(0, sizeof before, &before);
}
#endif

// The instrument's turnarounds in ms, each given `times` over: "0.5*10", "0..16" (0 to 16 in
// steps of 1), "100*8".
QList<ns> turnarounds(const QString &seen) {
    QList<ns> out;
    for (const QString &part : seen.split(' ', Qt::SkipEmptyParts)) {
        if (part.contains("..")) {
            for (int v = part.section("..", 0, 0).toInt(); v <= part.section("..", 1).toInt(); ++v)
                out << ms(v);
        } else {
            for (int i = 0; i < part.section('*', 1).toInt(); ++i)
                out << ms(part.section('*', 0, 0).toDouble());
        }
    }
    return out;
}
} // namespace

class TestJudge : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // A reply that would confirm a frame is believed only when it comes as this instrument
    // answers: within what it has shown, with room for the spread seen and, while few replies
    // are known, for what an adapter's latency timer may add.
    void believedWhenThisInstrumentAnswers_data() {
        QTest::addColumn<QString>("seen");
        QTest::addColumn<double>("next");
        QTest::addColumn<bool>("believed");
        QTest::newRow("clean line, on time") << "0.5*20" << 1.5 << true;
        QTest::newRow("clean line, 30 ms late") << "0.5*20" << 30.5 << false;
        QTest::newRow("clean line, 10 ms early") << "10*20" << 0.0 << false;
        QTest::newRow("one reply known: an adapter may add 16 ms") << "0.5*1" << 16.5 << true;
        QTest::newRow("one reply known, 45 ms late") << "0.5*1" << 45.0 << false;
        QTest::newRow("16 ms of jitter seen: its ends") << "0..16 0..16" << 16.0 << true;
        QTest::newRow("16 ms of jitter seen, 30 ms late") << "0..16 0..16" << 46.0 << false;
        QTest::newRow("slow instrument, on time") << "100*10" << 103.0 << true;
        QTest::newRow("slow instrument, a displaced reply") << "100*10" << 17.0 << false;
        QTest::newRow("one odd reply among many does not widen it")
            << "0.5*30 40*1" << 30.0 << false;
    }
    void believedWhenThisInstrumentAnswers() {
        QFETCH(QString, seen);
        QFETCH(double, next);
        QFETCH(bool, believed);
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds(seen))
            answer(judge, Ok, t);
        const ReplyVerdict v = answer(judge, Ok, ms(next));
        QCOMPARE(v, believed ? ReplyVerdict::Accepted : ReplyVerdict::Doubtful);
        QCOMPARE(QString::fromUtf8(judge.doubtReason()).contains("als dieses Gerät antwortet"),
                 !believed);
        // A refusal is read as it is, whenever it comes: the frame goes out again anyway.
        QCOMPARE(answer(judge, QByteArray("\x10\xFA\x20\x1A\x16", 5), ms(next)),
                 ReplyVerdict::Refused);
    }

    // A reply this program saw late because it waited for a processor came on time on the wire:
    // the time it waited is taken off before the reply is called late (Linux tells it).
    void ourOwnWaitIsNotTheInstruments_data() {
        QTest::addColumn<bool>("waited");
        QTest::newRow("60 ms late, while we waited for a processor") << true;
        QTest::newRow("60 ms late") << false;
    }
    void ourOwnWaitIsNotTheInstruments() {
#if !defined(Q_OS_LINUX)
        QSKIP("how long a thread waited for a processor is read from Linux's schedstat");
#else
        if (!QFile::exists(QStringLiteral("/proc/thread-self/schedstat")))
            QSKIP("this kernel does not tell how long a thread waited for a processor");
        QFETCH(bool, waited);
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("0.5*20"))
            answer(judge, Ok, t);
        const std::function<void()> meanwhile = [] { shareProcessor(ms(400)); };
        QCOMPARE(answer(judge, Ok, ms(60), ReplyJudge::Frame::Block, waited ? meanwhile : nullptr),
                 waited ? ReplyVerdict::Accepted : ReplyVerdict::Doubtful);
#endif
    }

    // The instrument cannot answer before the frame has crossed, but its clock may run a little
    // fast: what comes at 95 % of the frame's time on the line is taken as its reply, what comes
    // at 85 % is not.
    void notBeforeTheFrameCrossed_data() {
        QTest::addColumn<double>("share");
        QTest::addColumn<bool>("tooSoon");
        QTest::newRow("at 85 %") << 0.85 << true;
        QTest::newRow("at 95 %, a fast clock") << 0.95 << false;
        QTest::newRow("after the crossing") << 1.0 << false;
    }
    void notBeforeTheFrameCrossed() {
        QFETCH(double, share);
        QFETCH(bool, tooSoon);
        ReplyJudge judge;
        judge.beginRun();
        const ns frame = LineTime(221, Line);
        const auto sent = ReplyJudge::Clock::now();
        judge.beginAttempt();
        judge.frameSent(sent, frame, LineTime(Frames::ReplyBytes, Line), ReplyJudge::Frame::Block);
        QCOMPARE(judge.tooSoon(sent + duration_cast<ns>(frame * share)), tooSoon);
    }

    // The end asks nothing of the flash: on a slow instrument it is believed however soon it
    // comes, but not later than a block is answered. The start's erase takes what it takes.
    void endAndStartOnTheirOwn() {
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("100*10"))
            answer(judge, Ok, t);
        QCOMPARE(answer(judge, Ok, ms(0.5), ReplyJudge::Frame::End), ReplyVerdict::Accepted);
        QCOMPARE(answer(judge, Ok, ms(200), ReplyJudge::Frame::End), ReplyVerdict::Doubtful);
        QCOMPARE(answer(judge, Ok, ms(900), ReplyJudge::Frame::Start), ReplyVerdict::Accepted);
        QCOMPARE(answer(judge, Ok, ms(0.5), ReplyJudge::Frame::Start), ReplyVerdict::Accepted);
    }

    // An attempt without its reply leaves it owed, past any horizon; a reply among the bytes
    // nobody waited for pays it, noise does not. While one is owed and few replies are known, a
    // confirmation may be that reply: the frame is to be confirmed twice.
    void owedReplies() {
        ReplyJudge judge;
        judge.beginRun();
        answer(judge, Ok, ms(0.5));
        QCOMPARE(judge.owed(), 0);
        QCOMPARE(answer(judge, QByteArray(), {}), ReplyVerdict::NoReply);
        QCOMPARE(answer(judge, Ok.left(3), {}), ReplyVerdict::NoReply);
        QCOMPARE(judge.owed(), 2);
        QVERIFY(judge.confirmationInDoubt());
        judge.beginAttempt();
        judge.unexplained(QByteArray(5, '\0'), "burst");
        QCOMPARE(judge.owed(), 2);
        QCOMPARE(judge.verdict(), ReplyVerdict::Doubtful);
        judge.unexplained("\xA5" + Ok, "late");
        QCOMPARE(judge.owed(), 1);
        QCOMPARE(answer(judge, Ok + Ok, ms(0.5)), ReplyVerdict::Doubtful); // and one behind it
        QCOMPARE(judge.owed(), 0);
        QVERIFY(!judge.confirmationInDoubt());
        judge.beginRun();
        QCOMPARE(answer(judge, QByteArray(), {}), ReplyVerdict::NoReply);
        for (int i = 0; i < AnswerTime::KnownAfter; ++i)
            answer(judge, Ok, ms(0.5));
        QVERIFY(judge.owed() == 1 && !judge.confirmationInDoubt()); // the band protects now
    }

    // Where a run goes on after a doubt: frame sizes in bytes (the start, blocks, the end) at
    // 38400 baud, and the turnarounds this instrument has shown. A wrong credit can hide behind a
    // frame only where the displaced reply, which comes within the band's width of the stray that
    // took its place, can land in that frame's band.
    void repairDepth_data() {
        QTest::addColumn<QList<int>>("frames");
        QTest::addColumn<QString>("seen");
        QTest::addColumn<int>("at"); // where the doubt arose
        QTest::addColumn<int>("from");
        const QList<int> full{16, 221, 221, 221, 221, 12}, small{16, 221, 221, 27, 27, 12},
            midsize{16, 221, 221, 80, 80, 12};
        QTest::newRow("clean, behind a full block") << full << "0.5*20" << 4 << 2;
        QTest::newRow("clean, at the end") << full << "0.5*20" << 5 << 3;
        QTest::newRow("clean, behind small blocks") << small << "0.5*20" << 5 << 2;
        QTest::newRow("clean, behind blocks of 80 bytes") << midsize << "0.5*20" << 5 << 3;
        QTest::newRow("jitter, behind blocks of 80 bytes") << midsize << "0..16 0..16" << 5 << 2;
        QTest::newRow("slow, behind small blocks") << small << "100*20" << 5 << 3;
        QTest::newRow("nothing known yet: from the erase") << full << "" << 3 << 0;
        QTest::newRow("near the start") << full << "0.5*20" << 2 << 0;
        QTest::newRow("the start itself") << full << "0.5*20" << 0 << 0;
    }
    void repairDepth() {
        QFETCH(QList<int>, frames);
        QFETCH(QString, seen);
        QFETCH(int, at);
        QFETCH(int, from);
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds(seen))
            answer(judge, Ok, t);
        QList<ns> crossings;
        for (int bytes : frames)
            crossings << LineTime(bytes + Frames::ReplyBytes, Line);
        QCOMPARE(judge.resumeAfterDoubt(crossings, at), from);
    }
};

QTEST_GUILESS_MAIN(TestJudge)
#include "tst_judge.moc"
