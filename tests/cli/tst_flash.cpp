// q7310flash as a script or a test station calls it, against simulated instruments at line
// rate: exit codes, what the instrument holds, the JSON events, the check of an image, a stop
// signal mid-run, several ports at once.

#include "simulator/Simulator.h"
#include "support/HexBuilder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <functional>

using namespace hexfile;
using Lines = QList<QByteArray>;

namespace {

struct Flash {
    int code = -1;
    QList<QJsonObject> events; // stdout, one object a line
    QStringList messages;      // stderr, line by line
};

// Runs q7310flash to its end; during, if given, is called with each JSON event as it comes.
Flash flash(const QStringList &args,
            const std::function<void(QProcess &, const QJsonObject &)> &during = {}) {
    QProcess p;
    Flash f;
    QByteArray pending;
    QObject::connect(&p, &QProcess::readyReadStandardOutput, [&] {
        pending += p.readAllStandardOutput();
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0; pending.remove(0, nl + 1)) {
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(pending.left(nl), &error);
            if (!doc.isObject()) QTest::qFail(pending.left(nl).constData(), __FILE__, __LINE__);
            f.events << doc.object();
            if (during) during(p, doc.object());
        }
    });
    p.start(QStringLiteral(Q7310FLASH), args);
    if (!p.waitForStarted() || !p.waitForFinished(120000)) return f;
    QCoreApplication::processEvents(); // the last events
    f.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    f.messages = QString::fromUtf8(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    return f;
}

QStringList answers(const Flash &f) {
    QStringList a;
    for (const QJsonObject &e : f.events)
        if (e["event"] == "question") a << e["answer"].toString();
    return a;
}

struct Instrument {
    explicit Instrument(const QStringList &rules = {}) {
        for (const QString &text : rules) {
            q7310sim::Rule r;
            std::string error;
            if (q7310sim::ParseRule(text.toStdString(), r, error)) sim.addRule(r);
        }
        std::string error;
        up = sim.start(error);
    }
    QString device() const { return QString::fromStdString(sim.devicePath()); }
    bool holds(const Lines &lines) const {
        return sim.lastTaken() == q7310sim::FrameKind::End && sim.memory() == ImageBytes(lines);
    }
    q7310sim::Simulator sim;
    bool up = false;
};

} // namespace

class TestFlash : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString write(const Lines &lines, const QString &name = QStringLiteral("fw.a35")) {
        QFile f(dir_.filePath(name));
        if (f.open(QIODevice::WriteOnly)) f.write(lines.join("\r\n") + "\r\n");
        return f.fileName();
    }

private Q_SLOTS:
    // Each outcome with its exit code, judged by what the instrument holds; every question is
    // answered Wiederholen as often as allowed, then Abbrechen.
    void exitCodes_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("questions");
        QTest::addColumn<int>("frames"); // -1: any
        QTest::addColumn<bool>("held");  // the instrument holds the image, end taken
        // clang-format off
        QTest::newRow("confirmed") << QStringList{} << QStringList{} << false << 0 << 0 << 5 << true;
        QTest::newRow("retried, confirmed") << QStringList{"2:noreply", "3:noreply"} << QStringList{} << false << 0 << 1 << -1 << true;
        QTest::newRow("damaged image") << QStringList{} << QStringList{} << true << 1 << 0 << 0 << false;
        QTest::newRow("no such port") << QStringList{} << QStringList{"--port", "/dev/q7310-none"} << false << 1 << 0 << 0 << false;
        QTest::newRow("start never answered") << QStringList{"start:noreply"} << QStringList{"--retries", "1"} << false << 3 << 2 << 4 << false;
        QTest::newRow("block refused") << QStringList{"data:status=32"} << QStringList{"--retries", "0"} << false << 3 << 1 << 3 << false;
        // Everything may be in place; only the confirmation is missing.
        QTest::newRow("end never confirmed") << QStringList{"end:noreply"} << QStringList{"--retries", "0"} << false << 3 << 1 << -1 << true;
        QTest::newRow("wrong usage") << QStringList{} << QStringList{"--retries", "many"} << false << 2 << 0 << 0 << false;
        // clang-format on
    }
    void exitCodes() {
        QFETCH(QStringList, rules);
        QFETCH(QStringList, args);
        QFETCH(bool, damaged);
        QFETCH(int, code);
        QFETCH(int, questions);
        QFETCH(int, frames);
        QFETCH(bool, held);
        Instrument in(rules);
        if (!in.up) QSKIP("no pseudo-terminal here");
        Lines lines = contiguous(36, 16); // three blocks
        if (damaged) lines[20][9] = lines[20][9] == '0' ? '1' : '0';
        const QStringList port =
            args.contains("--port") ? args : args + QStringList{"--port", in.device()};
        const Flash f = flash(QStringList{"--json"} + port << write(lines));
        QCOMPARE(f.code, code);
        QTest::qWait(50);
        if (frames >= 0) QCOMPARE(int(in.sim.frames().size()), frames);
        QCOMPARE(in.holds(lines), held);
        if (code == 2) return; // refused before anything is done: no events
        QStringList expected(questions, QStringLiteral("Wiederholen"));
        if (code != 0 && questions > 0) expected.last() = QStringLiteral("Abbrechen");
        QCOMPARE(answers(f), expected);
        QCOMPARE(f.events.last()["event"], "outcome");
        QCOMPARE(f.events.last()["exit"].toInt(), code);
        int percent = 0;
        for (const QJsonObject &e : f.events) {
            QCOMPARE(e["port"].toString(), port.last());
            if (e["event"] != "progress") continue;
            QVERIFY(e["percent"].toInt() >= percent);
            percent = e["percent"].toInt();
            QCOMPARE(qint64(e["bytes"].toDouble()) * 100 / 576, percent);
        }
        QCOMPARE(percent == 100, code == 0);
    }

    // Without --json the same run speaks German on stderr: a line every 10 % and each question
    // with its answer, or with --quiet the outcome alone.
    void plainAndQuiet() {
        for (const bool quiet : {false, true}) {
            Instrument in({"2:noreply", "3:noreply"});
            if (!in.up) QSKIP("no pseudo-terminal here");
            const Flash f = flash(QStringList{"--port", in.device(), write(contiguous(36, 16))} +
                                  (quiet ? QStringList{"--quiet"} : QStringList{}));
            QCOMPARE(f.code, 0);
            QVERIFY(f.events.isEmpty());
            QVERIFY(f.messages.last().startsWith(in.device()));
            const QStringList steps = f.messages.filter(" % (");
            QCOMPARE(f.messages.size(), quiet ? 1 : steps.size() + 2); // the question, the outcome
            if (quiet) continue;
            QVERIFY(f.messages.filter("reagiert nicht").first().endsWith("– Wiederholen"));
            QVERIFY(steps.last().endsWith("100 % (576 von 576 Bytes)"));
            int before = -1;
            for (const QString &step : steps) {
                const int percent = step.section(' ', -6, -6).toInt();
                QVERIFY2(percent > before && percent % 10 == 0, qPrintable(step));
                before = percent;
            }
        }
    }

    // A stop signal mid-run ends it at a frame boundary with the interrupted code: the
    // instrument holds part of the image and never took the end command.
    void interruptedMidRun() {
        Instrument in;
        if (!in.up) QSKIP("no pseudo-terminal here");
        const Lines lines = contiguous(400, 16);
        const Flash f = flash({"--json", "--port", in.device(), write(lines)},
                              [](QProcess &p, const QJsonObject &e) {
                                  if (e["event"] == "progress" && e["percent"].toInt() >= 20)
                                      ::kill(pid_t(p.processId()), SIGINT);
                              });
        QCOMPARE(f.code, 4);
        QVERIFY(!in.sim.memory().empty() && in.sim.memory().size() < ImageBytes(lines).size());
        QVERIFY(in.sim.lastTaken() == q7310sim::FrameKind::Data);
        QCOMPARE(f.events.last()["outcome"], "interrupted");
        QVERIFY(f.events.last()["text"].toString().contains("unvollständig"));
    }

    // What --check reports is what the image holds; a damaged image is refused and named.
    void check() {
        Lines lines = contiguous(20, 16);
        lines.insert(10, linear(1));
        const QString file = write(lines);
        QFile read(file);
        QVERIFY(read.open(QIODevice::ReadOnly));
        const QByteArray sha = QCryptographicHash::hash(read.readAll(), QCryptographicHash::Sha256);
        const Flash f = flash({"--check", "--json", file});
        QCOMPARE(f.code, 0);
        const QJsonObject r = f.events.value(0);
        QCOMPARE(r["dataBytes"].toInt(), int(ImageBytes(lines).size()));
        QCOMPARE(r["ranges"].toArray(), QJsonArray({"000000-00009F", "0100A0-01013F"}));
        QCOMPARE(r["sha256"].toString().toLatin1(), sha.toHex());
        QCOMPARE(r["records"].toInt(), 22);
        QCOMPARE(r["frames"].toInt(), 4);
        lines[4] = ":10004000";
        const Flash bad = flash({"--check", write(lines, "bad.a35")});
        QCOMPARE(bad.code, 1);
        QVERIFY(bad.events.isEmpty());
        QVERIFY2(bad.messages.join(' ').contains("5"), qPrintable(bad.messages.join(' ')));
    }

    // Two instruments at once, one of them refusing every block: each is programmed by its own
    // process, the good one completes, and the exit code is the worse outcome.
    void twoPortsOneFailing() {
        Instrument good, bad({"data:status=32"});
        if (!good.up || !bad.up) QSKIP("no pseudo-terminal here");
        const Lines lines = contiguous(200, 16);
        const Flash f = flash({"--json", "--retries", "0", "--port", good.device(), "--port",
                               bad.device(), write(lines)});
        QCOMPARE(f.code, 3);
        QVERIFY(good.holds(lines) && bad.sim.memory().empty());
        const QJsonObject summary = f.events.last();
        QCOMPARE(summary["event"], "summary");
        QCOMPARE(
            summary["ports"].toArray(),
            QJsonArray(
                {QJsonObject{{"port", good.device()}, {"exit", 0}, {"outcome", "success"}},
                 QJsonObject{{"port", bad.device()}, {"exit", 3}, {"outcome", "incomplete"}}}));
        // The failing one ended long before the good one: they did not wait for each other.
        QList<QString> outcomes;
        for (const QJsonObject &e : f.events)
            if (e["event"] == "outcome") outcomes << e["port"].toString();
        QCOMPARE(outcomes, QList<QString>({bad.device(), good.device()}));
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
