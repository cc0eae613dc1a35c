// The command line's answers to the run's questions, in simulated time against the simulated
// instrument: Wiederholen as often as --retries allows for each command, then Abbrechen.

#include "cli/ConsoleRun.h"
#include "cli/Outcome.h"
#include "support/Virtual.h"

#include <QTest>

using Lines = QList<QByteArray>;
using namespace hexfile;

class TestConsole : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each command has its own retries: the two blocks a long record is cut into, the last
    // block and the end command. A reply missing twice is asked about; with --retries 1 each
    // command may be retried once.
    void retriesPerCommand_data() {
        QTest::addColumn<Lines>("lines");
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<int>("exit");
        // A 255-byte record: blocks of 248 and 7 bytes. Frame 1 the start; the first block
        // answered on its third attempt and confirmed once more while two replies are owed
        // (2 to 5); the second block likewise (6 to 9); the end twice (10, 11).
        const Lines longRecord{data(0, pattern(255)), eof()};
        const QStringList bothBlocks{"2:noreply", "3:noreply", "6:noreply", "7:noreply"};
        // 36 records: blocks of 208, 208 and 160 bytes, the last closed at the end of the file.
        const QStringList lastAndEnd{"4:noreply", "5:noreply", "8:noreply", "9:noreply"};
        QTest::newRow("two blocks of one record") << longRecord << bothBlocks << ExitCode::Success;
        QTest::newRow("the last block and the end")
            << contiguous(36, 16) << lastAndEnd << ExitCode::Success;
        QTest::newRow("a third question for one command")
            << longRecord << QStringList{"2:noreply", "3:noreply", "4:noreply", "5:noreply"}
            << ExitCode::Incomplete;
    }
    void retriesPerCommand() {
        QFETCH(Lines, lines);
        QFETCH(QStringList, rules);
        QFETCH(int, exit);
        VirtualBase world;
        world.rules(rules);
        world.port.Settings = world.lineSettings;
        ImageInput image;
        image.name = QStringLiteral("fw.a35");
        image.bytes = lines.join("\r\n") + "\r\n";
        FlashOptions o;
        o.file = image.name;
        o.retries = 1;
        o.output = Output::Quiet;
        ConsoleRun run(o, {}, image, &world.port, &world.time);
        QCOMPARE(run.exec(), exit);
        QCOMPARE(world.lastTaken() == q7310sim::FrameKind::End && world.memory() == ImageBytes(lines),
                 exit == ExitCode::Success);
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
