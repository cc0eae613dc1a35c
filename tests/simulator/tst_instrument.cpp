// The simulated instrument's own rules, which the campaign's verdicts rest on: when a reply
// reaches the flasher for the instruments and ways back it models, and the rules its command
// line refuses. Frames go in at a moment of the test's choosing; what comes out is timed in
// microseconds after the frame's last byte arrived.

#include "protocol/Frames.h"
#include "simulator/Instrument.h"
#include "simulator/VirtualLine.h"

#include <QSet>
#include <QTest>

using namespace std::chrono;
using q7310sim::Clock;

namespace {

QByteArray frame(int command, std::uint32_t address = 0, int bytes = 0) {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    if (command == 1) BuildStartFrame(st);
    if (command == 3) BuildEndFrame(st);
    if (command == 2) {
        st.BlockAddress = address;
        st.BlockData = QByteArray(bytes, '\x5A');
        st.BlockSum = 0x5A * bytes;
        BuildDataFrame(st);
    }
    return AssembleFrame(st);
}

// Frames sent one after the other, each as soon as the last one's reply is in (or, without
// one, 4 s on), the line closed after `hangUpAfter` frames where that is given: for each, when
// its reply was in, in whole microseconds after the frame's own crossing of the line; -1 when
// none came. `at`: when each reply was in, on the instrument's clock; `after`: the bytes that
// came after the last reply.
QList<long> answered(const QStringList &rules, const QList<QByteArray> &frames,
                     int hangUpAfter = 0, QList<Clock::time_point> *at = nullptr,
                     QByteArray *after = nullptr) {
    q7310sim::Options o;
    o.seed = 7;
    o.hangUpAfter = hangUpAfter;
    for (const QString &text : rules) {
        q7310sim::Rule r;
        std::string error;
        if (!q7310sim::ParseRule(text.toStdString(), r, error)) qFatal("%s", error.c_str());
        o.rules.push_back(r);
    }
    q7310sim::Instrument instrument(o);
    QList<long> out;
    Clock::time_point now = Clock::time_point{} + hours(1);
    for (const QByteArray &f : frames) {
        instrument.receive(reinterpret_cast<const std::uint8_t *>(f.constData()),
                           std::size_t(f.size()), now);
        const Clock::time_point crossed = now + instrument.charTime() * f.size();
        std::vector<std::uint8_t> reached;
        while (reached.size() < 5 && !instrument.hungUp(now) &&
               instrument.nextEvent() < crossed + seconds(4)) {
            now = instrument.nextEvent();
            instrument.advance(now, reached);
        }
        const auto reply = instrument.charTime() * 5;
        out << (reached.size() == 5 ? long(duration_cast<microseconds>(now - crossed - reply).count())
                                    : -1);
        if (at) *at << now;
        if (reached.size() < 5) now = crossed + seconds(4);
    }
    if (after) {
        std::vector<std::uint8_t> rest;
        while (instrument.nextEvent() < now + seconds(4)) {
            now = instrument.nextEvent();
            instrument.advance(now, rest);
        }
        *after = QByteArray(reinterpret_cast<const char *>(rest.data()), qsizetype(rest.size()));
    }
    return out;
}

const QByteArray Start = frame(1), End = frame(3);
QByteArray block(std::uint32_t address, int bytes = 208) {
    return frame(2, address, bytes);
}

} // namespace

class TestInstrument : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What each rule adds to the time a reply needs beyond the line, frame by frame.
    void answerTime_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QList<QByteArray>>("frames");
        QTest::addColumn<QList<long>>("us"); // -1: no reply
        const QList<QByteArray> twoSectors = {Start, block(0), block(208), block(4096), Start,
                                              block(0)};
        // clang-format off
        QTest::newRow("at once") << QStringList{} << QList<QByteArray>{Start, block(0), End} << QList<long>{0, 0, 0};
        QTest::newRow("a steady latency") << QStringList{"any:delay=2.5"} << QList<QByteArray>{Start, End} << QList<long>{2500, 2500};
        QTest::newRow("by the block's length") << QStringList{"any:perbyte=20"}
            << QList<QByteArray>{Start, block(0), block(208, 16), End} << QList<long>{0, 4160, 320, 0};
        QTest::newRow("a sector erased at its first write, again after the start")
            << QStringList{"data:sector=4096:30-30"} << twoSectors << QList<long>{0, 30000, 0, 30000, 0, 30000};
        QTest::newRow("a block across two new sectors") << QStringList{"data:sector=256:10-10"}
            << QList<QByteArray>{Start, block(200, 100)} << QList<long>{0, 20000};
        QTest::newRow("the end checks the flash") << QStringList{"any:endslow=1500"}
            << QList<QByteArray>{Start, block(0), End} << QList<long>{0, 0, 1500000};
        QTest::newRow("a second bank after 416 bytes") << QStringList{"data:step=416:15"}
            << QList<QByteArray>{Start, block(0), block(208), block(416), block(624)} << QList<long>{0, 0, 0, 15000, 15000};
        QTest::newRow("slower as it warms") << QStringList{"any:drift=0-64"}
            << QList<QByteArray>{Start, block(0, 248), block(32768, 248)} << QList<long>{0, 0, 242};
        QTest::newRow("a path, and a fault's own reply before it") << QStringList{"2:noreply", "any:path=7-7"}
            << QList<QByteArray>{Start, block(0), End} << QList<long>{7000, -1, 7000};
        QTest::newRow("faster as it warms") << QStringList{"any:drift=64-0"}
            << QList<QByteArray>{Start, block(0, 248), block(32768, 248)} << QList<long>{64000, 64000, 63757};
        QTest::newRow("a slow erase, a slow block") << QStringList{"start:slow=2500", "data:slow=40"}
            << QList<QByteArray>{Start, block(0), End} << QList<long>{2500000, 40000, 0};
        // From the first frame on, 25 ms more in every other 4 s: the third block arrives 6 s on.
        QTest::newRow("a thermostat") << QStringList{"any:thermo=25:4000", "data:delay=3000"}
            << QList<QByteArray>{Start, block(0), block(208), block(416)} << QList<long>{0, 3000000, 3000000, 3025000};
        QTest::newRow("a block it holds, at once") << QStringList{"any:delay=50", "data:held=0"}
            << QList<QByteArray>{Start, block(0), block(0), End} << QList<long>{50000, 50000, 0, 50000};
        QTest::newRow("a block it holds, slower") << QStringList{"data:sector=4096:30-30", "data:held=80"}
            << QList<QByteArray>{Start, block(0), block(0), block(208)} << QList<long>{0, 30000, 80000, 0};
        // clang-format on
    }
    void answerTime() {
        QFETCH(QStringList, rules);
        QFETCH(QList<QByteArray>, frames);
        QFETCH(QList<long>, us);
        QCOMPARE(answered(rules, frames), us);
    }

    // --hangup-after N: the frames up to the N-th are answered, the line closes at the next.
    void hangsUpAfter_data() {
        QTest::addColumn<int>("after");
        QTest::addColumn<QList<long>>("us");
        QTest::newRow("never") << 0 << QList<long>{0, 0, 0};
        QTest::newRow("after the first") << 1 << QList<long>{0, -1, -1};
        QTest::newRow("after the second") << 2 << QList<long>{0, 0, -1};
    }
    void hangsUpAfter() {
        QFETCH(int, after);
        QFETCH(QList<long>, us);
        QCOMPARE(answered({}, {Start, block(0), End}, after), us);
    }

    // An adapter's latency timer hands on what crossed at its ticks only: every reply reaches the
    // flasher on the same phase of a 16 ms clock, up to 16 ms late.
    void ticksOfAnAdapter() {
        QList<Clock::time_point> at;
        const QList<long> late = answered({"any:ticks=16"},
                                          {Start, block(0), block(208, 100), block(512, 3), End},
                                          0, &at);
        QSet<long> phases;
        for (int i = 0; i < late.size(); ++i) {
            QVERIFY2(late[i] >= 0 && late[i] < 16000, qPrintable(QString::number(late[i])));
            phases << long(duration_cast<nanoseconds>(at[i].time_since_epoch()).count() % 16000000);
        }
        QCOMPARE(phases.size(), 1);
        QVERIFY(std::adjacent_find(late.cbegin(), late.cend(), std::not_equal_to<>()) !=
                late.cend()); // not all alike: each frame ends at its own moment
    }

    // After the end: a byte as the line resets, or a greeting, that long after its reply; an
    // instrument gone deaf answers nothing more and takes nothing; one that stays in
    // programming still writes blocks, one that left refuses them.
    void afterTheEnd_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<QList<long>>("us"); // start, end, a block after it
        QTest::newRow("left, silent") << QStringList{} << QByteArray() << QList<long>{0, 0, 0};
        QTest::newRow("a byte as it resets")
            << QStringList{"end:talk=100"} << QByteArray("\xFF") << QList<long>{0, 0, 0};
        QTest::newRow("a greeting, then deaf") << QStringList{"end:greet=50", "end:deaf"}
                                               << QByteArray("Q7310 V2.1\r\n")
                                               << QList<long>{0, 0, -1};
    }
    void afterTheEnd() {
        QFETCH(QStringList, rules);
        QFETCH(QByteArray, said);
        QFETCH(QList<long>, us);
        QByteArray after;
        QCOMPARE(answered(rules, {Start, End}, 0, nullptr, &after), us.mid(0, 2));
        QCOMPARE(after, said);
        // Whether a block after the end is answered, without what it says.
        QStringList silent = rules;
        silent.removeIf([](const QString &r) { return r.contains("talk") || r.contains("greet"); });
        QCOMPARE(answered(silent, {Start, End, block(0)}).last(), us.last());
    }

    // The host stalls now and then (about every 100 ms here, for 20 to 30 ms): what arrives
    // meanwhile is seen when the stall is over, and what it writes meanwhile goes out then. A
    // start frame and its reply take 7.3 ms on the line; seen from the host, each takes that,
    // or up to a stall more.
    void hostStalls() {
        VirtualTime time;
        q7310sim::Instrument instrument;
        VirtualComm port(time, instrument);
        port.setPortOpen(true);
        port.RThreshold = 1;
        port.hiccups(100, 20, 30, 3);
        QList<double> took;
        for (int i = 0; i < 40; ++i) {
            const auto sent = time.now();
            port.Output(Start);
            while (port.InBufferCount() < 5)
                time.LetEventsRun();
            port.Input();
            took << duration<double, std::milli>(time.now() - sent).count();
            time.pass(milliseconds(17));
        }
        const double line = duration<double, std::milli>(instrument.charTime() * 21).count();
        int stalled = 0;
        for (double ms : took) {
            QVERIFY2(ms >= line - 1e-6 && ms <= line + 30 + 1e-6, qPrintable(QString::number(ms)));
            stalled += ms > line + 1e-6;
        }
        QVERIFY2(stalled >= 5 && stalled <= 20, qPrintable(QString::number(stalled)));
    }

    void badRules() { // the simulator's command line refuses them
        for (const char *text :
             {"noreply", "0:noreply", "1:explode", "1:delay=soon", "some:noreply",
              "any:path=40-5", "any:path=5", "data:sector=4096", "data:sector=0:1-2",
              "data:step=:15", "any:drift=x-1", "any:perbyte=-3", "any:thermo=25",
              "any:thermo=25:0", "end:deaf=3", "end:stay=1"}) {
            q7310sim::Rule r;
            std::string error;
            QVERIFY2(!q7310sim::ParseRule(text, r, error) && !error.empty(), text);
        }
    }
};

QTEST_GUILESS_MAIN(TestInstrument)
#include "tst_instrument.moc"
