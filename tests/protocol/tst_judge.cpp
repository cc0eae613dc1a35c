// The judge of replies on its own, fed as the receive handler and the exchange feed it: which
// confirmations it asks again once it has seen how this instrument answers, what stays owed,
// when every frame is confirmed twice, and how far a repair goes back.

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
// crossed; the first of a command unless `again`; the block written at `address` where one is
// given.
ReplyVerdict answer(ReplyJudge &judge, const QByteArray &reply, ns turnaround,
                    ReplyJudge::Frame kind = ReplyJudge::Frame::Block,
                    const std::function<void()> &meanwhile = {}, bool again = false,
                    ReplyJudge::Clock::time_point *sentAt = nullptr, std::int64_t address = -1) {
    const ns frame = LineTime(221, Line), back = LineTime(Frames::ReplyBytes, Line);
    const auto sent = ReplyJudge::Clock::now();
    if (sentAt) *sentAt = sent;
    if (!again) judge.beginCommand();
    judge.beginAttempt();
    if (address >= 0)
        judge.frameSent(sent, frame, back, kind, address, 208);
    else
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
    // A confirmation is taken whenever it comes after its frame has crossed; one that comes
    // when this instrument does not answer (its band: what it has shown, with room for the
    // spread seen and, while few replies are known, for what an adapter's latency timer may add)
    // may be another frame's reply: the frame is asked again, and what confirms it then is
    // taken whenever it comes. A refusal is read as it is.
    void outOfItsTimeAskedAgain_data() {
        QTest::addColumn<QString>("seen");
        QTest::addColumn<double>("next");
        QTest::addColumn<bool>("asked");
        QTest::newRow("clean line, on time") << "0.5*20" << 1.5 << false;
        QTest::newRow("clean line, 30 ms late") << "0.5*20" << 30.5 << true;
        QTest::newRow("clean line, 10 ms early") << "10*20" << 0.0 << true;
        QTest::newRow("one reply known: an adapter may add 16 ms") << "0.5*1" << 16.5 << false;
        QTest::newRow("one reply known, 45 ms late") << "0.5*1" << 45.0 << true;
        QTest::newRow("16 ms of jitter seen: its ends") << "0..16 0..16" << 16.0 << false;
        QTest::newRow("16 ms of jitter seen, 30 ms late") << "0..16 0..16" << 46.0 << true;
        QTest::newRow("slow instrument, on time") << "100*10" << 103.0 << false;
        QTest::newRow("slow instrument, a displaced reply") << "100*10" << 17.0 << true;
        QTest::newRow("one odd reply among many does not widen it")
            << "0.5*30 40*1" << 30.0 << true;
        QTest::newRow("a second flash bank, 20 ms slower, is followed")
            << "0.5*40 20.5*6" << 20.5 << false;
    }
    void outOfItsTimeAskedAgain() {
        QFETCH(QString, seen);
        QFETCH(double, next);
        QFETCH(bool, asked);
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds(seen))
            QCOMPARE(answer(judge, Ok, t), ReplyVerdict::Accepted);
        QCOMPARE(answer(judge, Ok, ms(next)), ReplyVerdict::Accepted);
        QCOMPARE(judge.confirmAgain(), asked);
        QCOMPARE(QString::fromUtf8(judge.doubtReason()).contains("als dieses Gerät antwortet"),
                 asked);
        // Asked again, the frame is confirmed by what comes, however late or early.
        QCOMPARE(answer(judge, Ok, ms(next), ReplyJudge::Frame::Block, {}, true),
                 ReplyVerdict::Accepted);
        QVERIFY(!judge.confirmAgain());
        QCOMPARE(answer(judge, QByteArray("\x10\xFA\x20\x1A\x16", 5), ms(next)),
                 ReplyVerdict::Refused);
    }

    // What the run tells of this instrument's answer time (median and longest) covers every reply
    // of the run, in whatever order they came; the band follows only the recent ones.
    void answerTimeOfTheRun_data() {
        QTest::addColumn<QString>("seen");
        QTest::addColumn<double>("median");
        QTest::addColumn<double>("worst");
        QTest::addColumn<double>("bandAbove"); // the band's low end lies above this
        QTest::newRow("one reply") << "3*1" << 3.0 << 3.0 << -20.0;
        QTest::newRow("in any order") << "7*1 2*1 5*1" << 5.0 << 7.0 << -20.0;
        QTest::newRow("a slow minority") << "1*5 50*4" << 1.0 << 50.0 << -80.0;
        QTest::newRow("a slow majority") << "1*4 50*5" << 50.0 << 50.0 << -80.0;
        QTest::newRow("the whole run, the band the recent") << "1*40 9*30" << 1.0 << 9.0 << 7.0;
    }
    void answerTimeOfTheRun() {
        QFETCH(QString, seen);
        QFETCH(double, median);
        QFETCH(double, worst);
        QFETCH(double, bandAbove);
        AnswerTime answers;
        for (ns t : turnarounds(seen))
            answers.add(t);
        QCOMPARE(answers.median(), ms(median));
        QCOMPARE(answers.worst(), ms(worst));
        QVERIFY(answers.band().lo > ms(bandAbove));
        answers.clear();
        QCOMPARE(answers.count(), 0);
        QCOMPARE(answers.worst(), ns{});
    }

    // A confirmation that comes sooner than this instrument answers may be a stray reply with
    // the frame's own still to come: the line is listened to until this frame's own would have
    // come at the latest, before the frame is asked again. A late one has nothing behind it.
    void soonerIsListenedAfter() {
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("100*10"))
            answer(judge, Ok, t);
        const AnswerTime::Band band = judge.answerTime().band();
        ReplyJudge::Clock::time_point sent;
        answer(judge, Ok, ms(17), ReplyJudge::Frame::Block, {}, false, &sent);
        QVERIFY(judge.confirmAgain());
        const ns crossing = LineTime(221, Line) + LineTime(Frames::ReplyBytes, Line);
        QCOMPARE(judge.listenUntil() - sent, crossing + band.hi);
        answer(judge, Ok, ms(180));
        QVERIFY(judge.confirmAgain());
        QCOMPARE(judge.listenUntil(), ReplyJudge::Clock::time_point{});
    }

    // An instrument that now and then takes longer (a sector erased before the write): once two
    // late confirmations were asked again and the frames then answered as usual, with no stray
    // reply about, it is believed up to a quarter beyond the longest of them. While a reply is
    // owed, it is asked again.
    void aSlowTailIsLearned_data() {
        QTest::addColumn<QList<double>>("late"); // asked again, then answered in 0.5 ms
        QTest::addColumn<bool>("owed");
        QTest::addColumn<double>("next");
        QTest::addColumn<bool>("asked");
        QTest::newRow("once: not yet") << QList<double>{80} << false << 90.0 << true;
        QTest::newRow("twice: within") << QList<double>{60, 80} << false << 100.0 << false;
        QTest::newRow("twice: beyond") << QList<double>{60, 80} << false << 110.0 << true;
        QTest::newRow("twice, a reply owed") << QList<double>{60, 80} << true << 90.0 << true;
    }
    void aSlowTailIsLearned() {
        QFETCH(QList<double>, late);
        QFETCH(bool, owed);
        QFETCH(double, next);
        QFETCH(bool, asked);
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("0.5*30"))
            answer(judge, Ok, t);
        for (double t : late) {
            answer(judge, Ok, ms(t));
            QVERIFY(judge.confirmAgain());
            answer(judge, Ok, ms(0.5), ReplyJudge::Frame::Block, {}, true);
            QVERIFY(!judge.confirmAgain());
        }
        if (owed) answer(judge, QByteArray(), {});
        answer(judge, Ok, ms(next));
        QCOMPARE(judge.confirmAgain(), asked);
    }

    // Where the slow tail shows: if every late confirmation that proved the instrument's own came
    // from the first write into a sector of one size since the start, a late one is believed
    // only at such a write and asked again elsewhere; where no sector size fits them all, it is
    // believed anywhere. Blocks of 208 bytes from 0x10000: 19, 39, 59 are the first writes into
    // the 4 KiB sectors at 0x11000, 0x12000 and 0x13000.
    void aSlowTailIsBelievedWhereItWasSeen_data() {
        QTest::addColumn<QList<int>>("lateAt"); // asked again, then answered as usual
        QTest::addColumn<int>("next");          // late next
        QTest::addColumn<bool>("asked");
        QTest::newRow("4 KiB sectors: the next one's first write") << QList<int>{19, 39} << 59 << false;
        QTest::newRow("4 KiB sectors: amid a sector") << QList<int>{19, 39} << 50 << true;
        QTest::newRow("no sector size fits: anywhere") << QList<int>{19, 45} << 50 << false;
        QTest::newRow("after the start erased, the first write again")
            << QList<int>{19, 39} << -19 << false;
    }
    void aSlowTailIsBelievedWhereItWasSeen() {
        QFETCH(QList<int>, lateAt);
        QFETCH(int, next);
        QFETCH(bool, asked);
        ReplyJudge judge;
        judge.beginRun();
        const auto block = [&](int k, double turnaround, bool again = false) {
            answer(judge, Ok, ms(turnaround), ReplyJudge::Frame::Block, {}, again, nullptr,
                   0x10000 + 208 * k);
        };
        for (int k = 0; k <= lateAt.last(); ++k) {
            block(k, lateAt.contains(k) ? 80 : 0.5);
            if (!lateAt.contains(k)) continue;
            QVERIFY(judge.confirmAgain());
            block(k, 0.5, true);
        }
        if (next < 0) {
            // A second pass after the start: block -next is again its sector's first write.
            answer(judge, Ok, {}, ReplyJudge::Frame::Start);
            for (int k = 0; k < -next; ++k)
                block(k, 0.5);
            next = -next;
        } else {
            for (int k = lateAt.last() + 1; k < next; ++k)
                block(k, 0.5);
        }
        block(next, 80);
        QCOMPARE(judge.confirmAgain(), asked);
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
                 ReplyVerdict::Accepted);
        QCOMPARE(judge.confirmAgain(), !waited);
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

    // The start's erase and the end's check of the flash take what they take within their
    // time-out: believed whenever they come, and not learned as this instrument's answer to a
    // block.
    void endAndStartOnTheirOwn() {
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("100*10"))
            answer(judge, Ok, t);
        for (double t : {0.5, 200.0, 2900.0}) {
            QCOMPARE(answer(judge, Ok, ms(t), ReplyJudge::Frame::End), ReplyVerdict::Accepted);
            QVERIFY(!judge.confirmAgain());
            QCOMPARE(answer(judge, Ok, ms(t), ReplyJudge::Frame::Start), ReplyVerdict::Accepted);
            QVERIFY(!judge.confirmAgain());
        }
        QCOMPARE(judge.answerTime().count(), 10);
    }

    // An attempt without its reply leaves it owed, past any horizon; a reply among the bytes
    // nobody waited for pays it, noise does not. Where no reply is owed, such a reply shows that
    // this instrument sends replies twice. A frame is confirmed once more than the stray
    // replies that could stand in for it: a block while a reply is owed and this instrument's
    // time is not known well enough to tell, the end while one is owed, and every frame but the
    // start once replies came twice.
    void owedAndRepeatedReplies() {
        using F = ReplyJudge::Frame;
        ReplyJudge judge;
        judge.beginRun();
        answer(judge, Ok, ms(0.5));
        QVERIFY(!judge.confirmAgain());
        QCOMPARE(answer(judge, QByteArray(), {}), ReplyVerdict::NoReply);
        QCOMPARE(answer(judge, Ok.left(3), {}), ReplyVerdict::NoReply);
        QCOMPARE(judge.owed(), 2);
        answer(judge, Ok, ms(0.5));
        QVERIFY(judge.confirmAgain());
        answer(judge, Ok, ms(0.5), F::Block, {}, true);
        QVERIFY(!judge.confirmAgain());
        judge.beginAttempt();
        judge.unexplained(QByteArray(5, '\0'), "burst");
        QCOMPARE(judge.owed(), 2);
        QCOMPARE(judge.verdict(), ReplyVerdict::Doubtful);
        judge.unexplained("\xA5" + Ok, "late");
        QCOMPARE(judge.owed(), 1);
        for (int i = 0; i < AnswerTime::KnownAfter; ++i)
            answer(judge, Ok, ms(0.5));
        QVERIFY(!judge.confirmAgain()); // the band protects the blocks now
        answer(judge, Ok, ms(0.5), F::End);
        QVERIFY(judge.confirmAgain()); // the end's is believed however it comes: not it
        QCOMPARE(answer(judge, Ok + Ok, ms(0.5)), ReplyVerdict::Doubtful); // and one behind it
        QVERIFY(judge.owed() == 0 && !judge.repeats());
        QCOMPARE(answer(judge, Ok + Ok, ms(0.5)), ReplyVerdict::Doubtful); // nobody owed it
        QVERIFY(judge.repeats());
        for (F kind : {F::Block, F::End, F::Block})
            QVERIFY((answer(judge, Ok, ms(0.5), kind), judge.confirmAgain()));
        answer(judge, Ok, ms(0.5), F::Start);
        QVERIFY(!judge.confirmAgain());
        judge.beginRun();
        QVERIFY(!judge.repeats() && judge.owed() == 0);
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
        QTest::newRow("clean, behind small blocks") << small << "0.5*20" << 5 << 3;
        QTest::newRow("jitter, behind small blocks") << small << "0..16 0..16" << 5 << 2;
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
