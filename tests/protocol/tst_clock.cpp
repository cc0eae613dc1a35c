// The program's own clock: a wait for the run's events comes back once an event that another
// thread posted (as a port's notifier does) has been delivered, however the system's dispatcher
// waits; a pause lasts at least its span.

#include "protocol/RunClock.h"

#include <QTest>
#include <QTimer>

#include <thread>

class TestClock : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void waitEndsWithAPostedEvent_data() {
        QTest::addColumn<int>("postAfterMs");
        // Posted at once, and while the wait sleeps (when the dispatcher is woken by the post and
        // delivers it only on its next turn).
        QTest::newRow("before") << 0;
        QTest::newRow("during") << 30;
        QTest::newRow("later") << 120;
    }
    void waitEndsWithAPostedEvent() {
        QFETCH(int, postAfterMs);
        RunClock &clock = RunClock::Real();
        QObject receiver;
        bool met = false;
        std::thread poster([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(postAfterMs));
            QMetaObject::invokeMethod(&receiver, [&] { met = true; }, Qt::QueuedConnection);
        });
        // Only a wait that sleeps through the delivered event meets this guard; it is far off,
        // so that a busy machine does not reach it.
        bool guard = false;
        QTimer::singleShot(20000, &receiver, [&] { guard = true; });
        while (!met && !guard)
            clock.LetEventsRun();
        poster.join();
        QVERIFY(met);
        QVERIFY2(!guard, "the wait slept on after the event had been delivered");
    }

    void pauseLastsItsSpan() {
        RunClock &clock = RunClock::Real();
        const auto began = clock.now();
        Pause(clock, std::chrono::milliseconds(40));
        QVERIFY(clock.now() - began >= std::chrono::milliseconds(40));
    }
};

QTEST_GUILESS_MAIN(TestClock)
#include "tst_clock.moc"
