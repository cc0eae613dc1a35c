// The judge of replies on its own, fed as the receive handler and the exchange feed it: what
// bytes are, which confirmations it asks again once it has seen how this instrument answers,
// what the ledger of stray replies says a frame needs, which doubts reach back, and how far a
// repair goes back.

#include "protocol/Frames.h"
#include "protocol/ReplyJudge.h"
#include "serial/SerialComm.h"
#include "transfer/ProgrammingRun.h"

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

// The address of the block a command sends: each command the next block, as a run sends them.
quint32 blockAddress = 0;

// One attempt of a 208-byte block (or the end) answered `turnaround` after the frame and reply
// crossed; the first of a command unless `again`.
Outcome answer(ReplyJudge &judge, const QByteArray &reply, ns turnaround,
               ReplyJudge::Frame kind = ReplyJudge::Frame::Block,
               const std::function<void()> &meanwhile = {}, bool again = false,
               ReplyJudge::Clock::time_point *sentAt = nullptr) {
    const ns frame = LineTime(221, Line), back = LineTime(Frames::ReplyBytes, Line);
    const auto sent = ReplyJudge::Clock::now();
    if (sentAt) *sentAt = sent;
    if (!again) {
        judge.beginCommand();
        if (kind == ReplyJudge::Frame::Block) blockAddress += 208;
    }
    judge.beginAttempt();
    judge.frameSent(sent, frame, back, kind, blockAddress);
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
            QCOMPARE(answer(judge, Ok, t), Outcome::Accepted);
        QCOMPARE(answer(judge, Ok, ms(next)), Outcome::Accepted);
        QCOMPARE(judge.confirmAgain(), asked);
        QCOMPARE(QString::fromUtf8(judge.doubtReason()).contains("als dieses Gerät antwortet"),
                 asked);
        // Asked again, the frame is confirmed by what comes, however late or early.
        QCOMPARE(answer(judge, Ok, ms(next), ReplyJudge::Frame::Block, {}, true),
                 Outcome::Accepted);
        QVERIFY(!judge.confirmAgain());
        QCOMPARE(answer(judge, QByteArray("\x10\xFA\x20\x1A\x16", 5), ms(next)), Outcome::Refused);
    }

    // What the run tells of this instrument's answer time (median and longest) covers every reply
    // What the run tells of this instrument's answer time (median and longest) covers every reply
    // of the run, in whatever order they came; the band follows only the last 32, leaves out the
    // outer eighth of them on each side, and widens what is left by half its spread, by what an
    // adapter may still add while few are known (16 ms × 64 / (n + 7)²), and by 1 ms early and
    // 4 ms late.
    void answerTimeOfTheRun_data() {
        QTest::addColumn<QString>("seen");
        QTest::addColumn<double>("median");
        QTest::addColumn<double>("worst");
        QTest::addColumn<double>("lo"); // the band, ms
        QTest::addColumn<double>("hi");
        // one: 16 ms unseen; three: spread 5, 16 × 64 / 100 unseen; 9 of 1 ms and 4 of 50,
        // trimmed by one on each side to 1..50: spread 49, 16 × 64 / 400 unseen
        QTest::newRow("one reply") << "3*1" << 3.0 << 3.0 << -14.0 << 23.0;
        QTest::newRow("in any order") << "7*1 2*1 5*1" << 5.0 << 7.0 << -11.74 << 23.74;
        QTest::newRow("a slow minority") << "1*9 50*4" << 1.0 << 50.0 << -27.06 << 81.06;
        // Eight: one on each side left out, the one odd reply among them too.
        QTest::newRow("one odd reply in eight") << "1*1 10*7" << 10.0 << 10.0 << 4.449 << 18.551;
        // 40 of 1 ms, then 30 of 9: the last 32 are 2 of 1 and 30 of 9, trimmed to 9 alone.
        QTest::newRow("the whole run, the band the recent")
            << "1*40 9*30" << 1.0 << 9.0 << 7.327 << 13.673;
    }
    void answerTimeOfTheRun() {
        QFETCH(QString, seen);
        QFETCH(double, median);
        QFETCH(double, worst);
        QFETCH(double, lo);
        QFETCH(double, hi);
        AnswerTime answers;
        for (ns t : turnarounds(seen))
            answers.add(t);
        QCOMPARE(answers.median(), ms(median));
        QCOMPARE(answers.worst(), ms(worst));
        const AnswerTime::Band band = answers.band();
        QVERIFY2(qAbs(double(band.lo.count()) / 1e6 - lo) < 0.001,
                 qPrintable(QString::number(double(band.lo.count()) / 1e6)));
        QVERIFY2(qAbs(double(band.hi.count()) / 1e6 - hi) < 0.001,
                 qPrintable(QString::number(double(band.hi.count()) / 1e6)));
    }

    // A confirmation that comes sooner than this instrument answers may be a stray reply with
    // the frame's own still to come: the line is listened to until this frame's own would have
    // come at the latest, before the frame is asked again. A late one has nothing behind it.
    void soonerIsListenedAfter() {
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("100*10"))
            answer(judge, Ok, t);
        ReplyJudge::Clock::time_point sent;
        answer(judge, Ok, ms(17), ReplyJudge::Frame::Block, {}, false, &sent);
        QVERIFY(judge.confirmAgain());
        // The frame (221 bytes) and its reply at 11 bits a byte: 64.740 ms; the band of ten
        // replies of 100 ms ends 16 × 64 / 289 + 4 ms beyond: 107.543 ms.
        const double until = double((judge.listenUntil() - sent).count()) / 1e6;
        QVERIFY2(qAbs(until - 172.283) < 0.001, qPrintable(QString::number(until)));
        answer(judge, Ok, ms(180));
        QVERIFY(judge.confirmAgain());
        QCOMPARE(judge.listenUntil(), ReplyJudge::Clock::time_point{});
    }

    // An instrument may answer a block it has received before (asked again, or sent again by a
    // repair) sooner than one it writes: such replies have their own band, or a reply come early
    // for a new block, as a displaced one does, would look usual. An erase makes every block new.
    // Where every new block was answered late, its band knows nothing: it borrows the other's.
    void aBlockAgainHasItsOwnBand_data() {
        QTest::addColumn<bool>("firstLate");
        QTest::addColumn<bool>("again");
        QTest::addColumn<bool>("erased");
        QTest::addColumn<double>("next");
        QTest::addColumn<bool>("asked");
        auto row = [](const char *name, bool firstLate, bool again, bool erased, double next,
                      bool asked) {
            QTest::newRow(name) << firstLate << again << erased << next << asked;
        };
        row("a new block answered as soon as one received before", false, false, false, 46, true);
        row("a new block in its time", false, false, false, 290, false);
        row("one received before, as such ones are answered", false, true, false, 30, false);
        row("one received before, as a new one is answered", false, true, false, 290, true);
        row("one received before the erase, answered quickly", false, true, true, 30, true);
        row("every new block late, then one in the time-out", true, false, false, 115, true);
        row("every new block late, one received before", true, true, false, 30, false);
    }
    void aBlockAgainHasItsOwnBand() {
        QFETCH(bool, firstLate);
        QFETCH(bool, again);
        QFETCH(bool, erased);
        QFETCH(double, next);
        QFETCH(bool, asked);
        ReplyJudge judge;
        judge.beginRun();
        // Blocks written in 290 ms, every third asked again and then answered in 30 ms; or each
        // answered after its time-out, while the line settled, and then asked again.
        for (int i = 0; i < 24; ++i) {
            if (firstLate) {
                QCOMPARE(answer(judge, {}, {}), Outcome::NoReply);
                judge.settledWith(Ok);
                QVERIFY(judge.confirmAgain());
            } else {
                answer(judge, Ok, ms(290));
            }
            if (firstLate || i % 3 == 0)
                answer(judge, Ok, ms(30), ReplyJudge::Frame::Block, {}, true);
        }
        // Quick replies to blocks received before are not a write's time: where nothing else was
        // learned, they are all new blocks' band knows.
        QCOMPARE(judge.answerTime().count(), 24);
        if (erased) {
            answer(judge, Ok, ms(2000), ReplyJudge::Frame::Start);
            judge.beginCommand(); // the same block, first after the erase
        }
        QCOMPARE(answer(judge, Ok, ms(next), ReplyJudge::Frame::Block, {}, again || erased),
                 Outcome::Accepted);
        QCOMPARE(judge.confirmAgain(), asked);
    }

    // No slow tail is believed: an instrument whose late confirmations were its own before
    // (asked again, then confirmed as usual) is asked again for the next late one too.
    void everyLateConfirmationIsAskedAgain() {
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("0.5*30"))
            answer(judge, Ok, t);
        for (int i = 0; i < 3; ++i) {
            answer(judge, Ok, ms(80));
            QVERIFY(judge.confirmAgain());
            answer(judge, Ok, ms(0.5), ReplyJudge::Frame::Block, {}, true);
            QVERIFY(!judge.confirmAgain());
        }
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
                 Outcome::Accepted);
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
            QCOMPARE(answer(judge, Ok, ms(t), ReplyJudge::Frame::End), Outcome::Accepted);
            QVERIFY(!judge.confirmAgain());
            QCOMPARE(answer(judge, Ok, ms(t), ReplyJudge::Frame::Start), Outcome::Accepted);
            QVERIFY(!judge.confirmAgain());
        }
        QCOMPARE(judge.answerTime().count(), 10);
    }

    // What bytes are, where they came: a reply is 5 bytes in its form after the frame crossed;
    // fewer are none (cut short); more, or 5 in another form, are foreign, with the replies among
    // them counted, one of which may be the frame's own where they were taken as its reply.
    void classified_data() {
        using W = Heard::Where;
        using K = Heard::Kind;
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("where");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("replies");
        QTest::addColumn<bool>("ownAmong");
        const QByteArray refusal("\x10\xFA\x20\x1A\x16", 5), noise("\xA5\xA5", 2);
        auto row = [](const char *name, const QByteArray &b, W w, K k, int status, int replies,
                      bool own) {
            QTest::newRow(name) << b << int(w) << int(k) << status << replies << own;
        };
        row("nothing", {}, W::InWait, K::Nothing, 255, 0, false);
        row("a reply", Ok, W::InWait, K::Reply, 0, 1, true);
        row("a refusal", refusal, W::InWait, K::Reply, 32, 1, true);
        row("cut short", Ok.left(4), W::InWait, K::Nothing, 255, 0, false);
        row("a break read as five 0x00", QByteArray(5, '\0'), W::InWait, K::Foreign, 255, 0, false);
        row("a sum that does not add up", QByteArray("\x10\xFA\x00\xFB\x16", 5), W::InWait,
            K::Foreign, 255, 0, false);
        row("a byte behind a reply", Ok + '\0', W::InWait, K::Foreign, 255, 1, true);
        row("noise in front of a reply", noise + Ok, W::InWait, K::Foreign, 255, 1, true);
        row("two replies", Ok + Ok, W::InWait, K::Foreign, 255, 2, true);
        row("a reply too soon", Ok, W::TooSoon, K::Foreign, 255, 1, false);
        row("a reply before the send", Ok, W::BeforeSend, K::Foreign, 255, 1, false);
        row("noise while settling", noise, W::Settling, K::Foreign, 255, 0, false);
        row("a greeting after the end", QByteArray("Q7310 V2.1\r\n"), W::AfterEnd, K::Foreign, 255,
            0, false);
        row("nothing after the end", {}, W::AfterEnd, K::Nothing, 255, 0, false);
    }
    void classified() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, where);
        QFETCH(int, kind);
        QFETCH(int, status);
        QFETCH(int, replies);
        QFETCH(bool, ownAmong);
        const Heard h = Classify(bytes, Heard::Where(where));
        QCOMPARE(int(h.kind), kind);
        QCOMPARE(h.status, status);
        QCOMPARE(h.replies, replies);
        QCOMPARE(h.ownAmong, ownAmong);
        QCOMPARE(*h.why != 0, h.kind == Heard::Kind::Foreign);
    }

    // The ledger: an attempt that has not seen its reply leaves it owed, past any horizon, also
    // when bytes too soon ended its wait; a reply among bytes nobody awaited pays one, noise
    // does not; one that nobody owed starts a caution of 8 frames, begun again by each further
    // one.
    void ledger() {
        ReplyJudge judge;
        judge.beginRun();
        QCOMPARE(answer(judge, QByteArray(), {}), Outcome::NoReply);
        QCOMPARE(answer(judge, Ok.left(3), {}), Outcome::NoReply);
        QCOMPARE(answer(judge, QByteArray(5, '\0'), {}), Outcome::Doubt); // no reply seen
        QCOMPARE(judge.owed(), 3);
        judge.beginAttempt();
        judge.foreign(QByteArray(5, '\0'), Heard::Where::Settling);
        QCOMPARE(judge.owed(), 3);
        QCOMPARE(judge.outcome(), Outcome::Doubt);
        judge.foreign("\xA5" + Ok, Heard::Where::BeforeSend);
        QCOMPARE(judge.owed(), 2);
        QCOMPARE(answer(judge, Ok + Ok, ms(0.5)), Outcome::Doubt); // one may be its own
        QCOMPARE(judge.owed(), 1);
        QVERIFY(!judge.repeats());
        answer(judge, {}, {}, ReplyJudge::Frame::Block,
               [&] { judge.foreign(Ok + Ok, Heard::Where::TooSoon); }); // neither is its own
        QCOMPARE(judge.owed(), 1); // paid one, the other nobody owed; its own is owed now
        QVERIFY(judge.repeats());
        for (int frame = 1; frame <= Ledger::CautionFrames; ++frame) {
            QVERIFY(judge.repeats());
            if (frame == 4) // one pays the reply owed, the other nobody owed
                judge.foreign(Ok + Ok, Heard::Where::BeforeSend);
            answer(judge, Ok, ms(0.5));
        }
        QVERIFY(judge.repeats()); // begun again at the fourth
        for (int frame = 1; frame <= 4; ++frame)
            answer(judge, Ok, ms(0.5));
        QVERIFY(!judge.repeats());
        judge.beginRun();
        QVERIFY(!judge.repeats() && judge.owed() == 0);
    }

    // Confirmations a frame needs: one more than the strays that could stand in for it unseen. A
    // block while a reply sent twice is still about, or while one is owed and its time cannot
    // tell it from this instrument's; the end (its time is its own) while either; the start
    // never: blocks sent after a start that did not take are refused.
    void confirmationsNeeded_data() {
        QTest::addColumn<int>("owed");
        QTest::addColumn<bool>("repeats");
        QTest::addColumn<QString>("seen");   // this instrument's turnarounds so far
        QTest::addColumn<QString>("needed"); // start, block, end
        QTest::newRow("nothing about") << 0 << false << ""
                                       << "1 1 1";
        QTest::newRow("one owed, its time not known") << 1 << false << "0.5*7"
                                                      << "1 2 2";
        QTest::newRow("one owed, its time known") << 1 << false << "0.5*8"
                                                  << "1 1 2";
        // The band of 0.5 to 10 ms, widened by half the spread and 4.6 ms unseen on each side
        // and 5 ms more: 33 ms, within an eighth of the 300 ms a stray may land in; of 0.5 to
        // 30 ms: 73 ms, a quarter.
        QTest::newRow("one owed, its time spread by 10 ms") << 1 << false << "0.5*6 10*2"
                                                            << "1 1 2";
        QTest::newRow("one owed, its time too spread to tell a stray") << 1 << false << "0.5*6 30*2"
                                                                       << "1 2 2";
        QTest::newRow("replies came twice") << 0 << true << "0.5*20"
                                            << "1 2 2";
    }
    void confirmationsNeeded() {
        QFETCH(int, owed);
        QFETCH(bool, repeats);
        QFETCH(QString, seen);
        QFETCH(QString, needed);
        QStringList got;
        for (ReplyJudge::Frame kind :
             {ReplyJudge::Frame::Start, ReplyJudge::Frame::Block, ReplyJudge::Frame::End}) {
            ReplyJudge judge;
            judge.beginRun();
            for (ns t : turnarounds(seen))
                answer(judge, Ok, t);
            for (int i = 0; i < owed; ++i)
                answer(judge, {}, {});
            if (repeats) judge.foreign(Ok, Heard::Where::BeforeSend);
            int confirmations = 0;
            for (bool again = false; confirmations < 5; again = true) {
                QCOMPARE(answer(judge, Ok, ms(0.5), kind, {}, again), Outcome::Accepted);
                ++confirmations;
                if (!judge.confirmAgain()) break;
            }
            got << QString::number(confirmations);
        }
        QCOMPARE(got.join(' '), needed);
    }

    // What comes right behind the end's reply, in the same breath, is the instrument's own as it
    // leaves programming: the reply is read as it is, the rest kept for what follows the end;
    // not so behind a block's reply, nor while a reply is owed that those bytes may hold.
    void talkBehindTheEnd_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("end");
        QTest::addColumn<bool>("owed");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("status");
        const QByteArray refusal("\x10\xFA\x20\x1A\x16", 5), glitch(1, '\xFF');
        auto row = [](const char *name, const QByteArray &b, bool end, bool owed, Outcome o,
                      int status) { QTest::newRow(name) << b << end << owed << int(o) << status; };
        row("a byte behind the end's reply", Ok + glitch, true, false, Outcome::Accepted, 0);
        row("a byte behind the end's refusal", refusal + glitch, true, false, Outcome::Refused, 32);
        row("a byte behind it, a reply owed", Ok + glitch, true, true, Outcome::Doubt, 255);
        row("a byte behind a block's reply", Ok + glitch, false, false, Outcome::Doubt, 255);
    }
    void talkBehindTheEnd() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, end);
        QFETCH(bool, owed);
        QFETCH(int, outcome);
        QFETCH(int, status);
        ReplyJudge judge;
        judge.beginRun();
        for (ns t : turnarounds("0.5*10"))
            answer(judge, Ok, t);
        if (owed) answer(judge, {}, {});
        QCOMPARE(int(answer(judge, bytes, ms(0.5),
                            end ? ReplyJudge::Frame::End : ReplyJudge::Frame::Block)),
                 outcome);
        QCOMPARE(judge.status(), status);
        QCOMPARE(judge.behindEnd(), outcome == int(Outcome::Doubt) ? QByteArray() : bytes.mid(5));
    }

    // A doubt reaches back to what was confirmed before only where the bytes may be a reply of
    // ours: one is owed, or they hold one. A greeting or noise after the end, with nothing owed,
    // is the instrument's own affair.
    void reachesBack_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("owed");
        QTest::addColumn<bool>("back");
        QTest::newRow("a byte") << QByteArray(1, '\0') << false << false;
        QTest::newRow("a greeting") << QByteArray("Q7310 V2.1\r\n") << false << false;
        QTest::newRow("a byte, a reply owed") << QByteArray(1, '\0') << true << true;
        QTest::newRow("a reply") << Ok << false << true;
        QTest::newRow("a reply amid noise") << "\xA5" + Ok + "\xA5" << false << true;
    }
    void reachesBack() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, owed);
        QFETCH(bool, back);
        ReplyJudge judge;
        judge.beginRun();
        if (owed) answer(judge, {}, {});
        judge.beginAttempt();
        judge.foreign(bytes, Heard::Where::BeforeSend);
        QCOMPARE(judge.outcome(), Outcome::Doubt);
        QCOMPARE(judge.reachesBack(), back);
        QCOMPARE(judge.afterEnd(bytes), back ? Outcome::Doubt : Outcome::Accepted);
        QCOMPARE(judge.afterEnd({}), Outcome::Accepted);
    }

    // Where a run goes on after a doubt that reaches back: frame sizes in bytes (the start,
    // blocks, the end) at 38400 baud, and the turnarounds this instrument has shown. A wrong
    // credit can hide behind a frame only where the displaced reply, which comes within the
    // band's width of the stray that took its place, can land in that frame's band. Never back
    // to the start, which nothing went before.
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
        // The band is 7.8 ms wide; a reply displaced from behind the full block comes within
        // it, and the 27-byte block after it opens at 90 % of its 9.2 ms on the line: just out of
        // reach, so the repair stops there, behind two tiny ones that it does reach.
        QTest::newRow("a small block behind a full one, just out of reach")
            << QList<int>{16, 221, 27, 7, 7, 12} << "0.5*20" << 5 << 2;
        QTest::newRow("nothing known yet: from the first block") << full << "" << 4 << 1;
        QTest::newRow("near the start") << full << "0.5*20" << 2 << 1;
        QTest::newRow("the first block") << full << "0.5*20" << 1 << 1;
        QTest::newRow("the start itself") << full << "0.5*20" << 0 << 0;
    }
    void repairDepth() {
        QFETCH(QList<int>, frames);
        QFETCH(QString, seen);
        QFETCH(int, at);
        QFETCH(int, from);
        AnswerTime answers;
        for (ns t : turnarounds(seen))
            answers.add(t);
        QList<ns> crossings;
        for (int bytes : frames)
            crossings << LineTime(bytes + Frames::ReplyBytes, Line);
        QCOMPARE(ResumeAfterDoubt(crossings, at, answers), from);
    }
};

QTEST_GUILESS_MAIN(TestJudge)
#include "tst_judge.moc"
