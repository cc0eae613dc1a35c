// The command line's answers to the run's questions, in simulated time against the simulated
// instrument: Wiederholen as often as --retries allows for each command, then Abbrechen.

#include "cli/ConsoleRun.h"
#include "cli/Outcome.h"
#include "support/Virtual.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
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

    // A frame a repair sends again is no new command: its retries go on from what its command
    // had left. 36 records: blocks of 208, 208 and 160 bytes. The second block is answered on
    // its third attempt (frames 3 to 5, one question), its lost replies owed before this
    // instrument's time was known: every block after is confirmed twice. A byte in front of the
    // third block's reply (frame 7) casts doubt on what came before: the run goes back to the
    // first block (8, 9), and the second block's first two attempts there (10, 11) go silent.
    // With --retries 1 that is its second question, answered Abbrechen; were the retries
    // renewed, Wiederholen, and the run would complete.
    void retriesGoOnAfterARepair() {
        const Lines lines = contiguous(36, 16);
        VirtualBase world;
        world.rules({"3:noreply", "4:noreply", "7:prefix=1", "10:noreply", "11:noreply"});
        world.port.Settings = world.lineSettings;
        QTemporaryDir dir;
        const Flashed f = flash(world, lines, 1, dir.filePath("log.jsonl"));
        QCOMPARE(f.exit, ExitCode::Incomplete);
        QStringList answers;
        for (const QJsonValue q : f.record["questions"].toArray())
            answers << q["answer"].toString();
        QCOMPARE(answers, QStringList({"Wiederholen", "Abbrechen"}));
        QCOMPARE(world.framesSeen(), 11);
    }

    // Every run ends within its bound, and the command line gives up there: an instrument that
    // answers every block 0.8 s after it arrived, past its time-out, is confirmed by its late
    // replies, each asked again, until the run has taken 4 tries of every frame with its
    // time-out and a minute (160 blocks: 317.5 s). It ends failed, with why in the record, and
    // within one attempt (at most 3 s and a settle of 4.5 s) of its bound.
    void givesUpAtItsBound() {
        const Lines lines = contiguous(2080, 16);
        VirtualBase world;
        world.rules({"data:slow=800"});
        world.port.Settings = world.lineSettings;
        QTemporaryDir dir;
        const Flashed f = flash(world, lines, 2, dir.filePath("log.jsonl"));
        QCOMPARE(f.exit, ExitCode::Incomplete);
        QCOMPARE(f.record["reason"].toString(), QStringLiteral("bound"));
        QVERIFY(f.record["questions"].toArray().isEmpty());
        QVERIFY2(world.ms() > 317476 && world.ms() < 317476 + 7500, qPrintable(QString::number(world.ms())));
        QVERIFY(world.memory() != ImageBytes(lines));
    }

private:
    struct Flashed {
        int exit;
        QJsonObject record;
    };
    static Flashed flash(VirtualBase &world, const Lines &lines, int retries, const QString &log) {
        ImageInput image;
        image.name = QStringLiteral("fw.a35");
        image.bytes = lines.join("\r\n") + "\r\n";
        FlashOptions o;
        o.file = image.name;
        o.retries = retries;
        o.output = Output::Quiet;
        o.log = log;
        ConsoleRun run(o, {}, image, &world.port, &world.time);
        Flashed f{run.exec(), {}};
        QFile file(log);
        if (file.open(QIODevice::ReadOnly))
            f.record = QJsonDocument::fromJson(file.readAll().trimmed()).object();
        return f;
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
