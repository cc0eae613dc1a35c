// q7310flash as a script or a test station calls it, against simulated instruments at line
// rate: exit codes and reasons, what the instrument holds, the JSON events, the check of an
// image, signals and a reader that goes away, one instrument never opened twice, output that
// fits a narrow terminal, several ports at once with their records.

#include "simulator/Simulator.h"
#include "support/HexBuilder.h"
#include "support/Loopback.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <functional>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace hexfile;
using Lines = QList<QByteArray>;

namespace {

struct Flash {
    int code = -1;             // the exit code; -1 when it ended by a signal
    int signal = 0;            // the signal it ended by
    QList<QJsonObject> events; // stdout, one object a line
    QStringList messages;      // stderr, line by line
};

// Runs a program (q7310flash unless told) to its end; during, if given, is called with each
// JSON event as it comes.
Flash flash(const QStringList &args,
            const std::function<void(QProcess &, const QJsonObject &)> &during = {},
            const QString &program = QStringLiteral(Q7310FLASH)) {
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
    p.start(program, args);
    if (!p.waitForStarted() || !p.waitForFinished(120000)) return f;
    QCoreApplication::processEvents(); // the last events
    const bool signalled = p.exitStatus() == QProcess::CrashExit;
    f.code = signalled ? -1 : p.exitCode();
    f.signal = signalled ? p.exitCode() : 0; // a signal's number, as Qt keeps it
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
            // A rule the simulator does not take is a fault of the test, not an instrument.
            if (!q7310sim::ParseRule(text.toStdString(), r, error))
                qFatal("rule %s: %s", qPrintable(text), error.c_str());
            sim.addRule(r);
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

// ser2net, Debian's serial device server, on 127.0.0.1 with a configuration of the test's: an
// RFC 2217 accepter and a plain TCP one, both to an instrument's pseudo-terminal.
struct DeviceServer {
    DeviceServer(const QString &device, const QString &dir) : config(dir + "/ser2net.yaml") {
        for (quint16 *port : {&rfc2217, &raw}) {
            // A free port: the system picks it for a socket that is then let go.
            const Loopback free;
            *port = free.port();
            ::close(free.fd);
        }
        QFile f(config);
        if (f.open(QIODevice::WriteOnly))
            f.write(
                QStringLiteral("%YAML 1.1\n---\n"
                               "connection: &rfc\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                               "  connector: serialdev,%3,38400e81,local\n"
                               "connection: &raw\n  accepter: tcp,127.0.0.1,%2\n"
                               "  connector: serialdev,%3,38400e81,local\n")
                    .arg(rfc2217)
                    .arg(raw)
                    .arg(device)
                    .toUtf8());
    }
    ~DeviceServer() { stop(); }
    // Starts it and waits until it takes connections; false where there is no ser2net. A trial
    // connection would make it open the device, and the run's own connection could then find
    // the device still held: it is watched listening instead.
    bool start() {
        server.start("ser2net", {"-n", "-u", "-c", config, "-P", config + ".pid"});
        if (!server.waitForStarted()) return false;
        for (int i = 0; i < 100; ++i) {
            if (listening(rfc2217) && listening(raw)) return true;
            QTest::qWait(50);
        }
        return false;
    }
    static bool listening(quint16 port) {
        QFile tcp(QStringLiteral("/proc/net/tcp"));
        if (!tcp.open(QIODevice::ReadOnly)) return false;
        // "sl local_address rem_address st ...": 127.0.0.1 in the kernel's byte order, 0A LISTEN.
        const QByteArray local =
            QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
        for (const QByteArray &line : tcp.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 3 && f[1] == local && f[3] == "0A") return true;
        }
        return false;
    }
    void stop() {
        server.terminate();
        server.waitForFinished();
    }
    QString url(bool telnet) const {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(telnet ? "rfc2217" : "socket")
            .arg(telnet ? rfc2217 : raw);
    }
    QString config;
    quint16 rfc2217 = 0, raw = 0;
    QProcess server;
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
    // Each outcome with its exit code and reason, judged by what the instrument holds; every
    // question is answered Wiederholen as often as allowed, then Abbrechen.
    void exitCodes_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("questions");
        QTest::addColumn<int>("frames"); // -1: any
        QTest::addColumn<bool>("held");  // the instrument holds the image, end taken
        // clang-format off
        QTest::newRow("confirmed") << QStringList{} << QStringList{} << false << 0 << "" << 0 << -1 << true;
        QTest::newRow("retried, confirmed") << QStringList{"2:noreply", "3:noreply"} << QStringList{} << false << 0 << "" << 1 << -1 << true;
        QTest::newRow("damaged image") << QStringList{} << QStringList{} << true << 1 << "image-invalid" << 0 << 0 << false;
        QTest::newRow("no such port") << QStringList{} << QStringList{"--port", "/dev/q7310-none"} << false << 1 << "port-unavailable" << 0 << 0 << false;
        QTest::newRow("start never answered") << QStringList{"start:noreply"} << QStringList{"--retries", "1"} << false << 3 << "no-reply" << 2 << 4 << false;
        QTest::newRow("block refused") << QStringList{"data:status=32"} << QStringList{"--retries", "0"} << false << 3 << "refused" << 1 << 3 << false;
        // Everything may be in place; only the confirmation is missing.
        QTest::newRow("end never confirmed") << QStringList{"end:noreply"} << QStringList{"--retries", "0"} << false << 3 << "unconfirmed-end" << 1 << -1 << true;
        QTest::newRow("wrong usage") << QStringList{} << QStringList{"--retries", "many"} << false << 2 << "" << 0 << 0 << false;
        // clang-format on
    }
    void exitCodes() {
        QFETCH(QStringList, rules);
        QFETCH(QStringList, args);
        QFETCH(bool, damaged);
        QFETCH(int, code);
        QFETCH(QString, reason);
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
        QCOMPARE(f.events.last()["reason"].toString(), reason);
        int percent = 0;
        for (const QJsonObject &e : f.events) {
            QCOMPARE(e["port"].toString(), port.last());
            QVERIFY(QDateTime::fromString(e["time"].toString(), Qt::ISODateWithMs).isValid());
            if (e["event"] != "progress") continue;
            QVERIFY(e["percent"].toInt() >= percent);
            percent = e["percent"].toInt();
            QCOMPARE(qint64(e["bytes"].toDouble()) * 100 / 576, percent);
        }
        QCOMPARE(percent == 100, code == 0);
    }

    // Without --json the same run speaks German on stderr, every line naming its port: a line
    // every 10 % and each question with its answer, or with --quiet the outcome alone; with
    // --verbose also each frame and reply.
    void plainQuietVerbose() {
        for (const QString mode : {"plain", "--quiet", "--verbose"}) {
            Instrument in({"2:noreply", "3:noreply"});
            if (!in.up) QSKIP("no pseudo-terminal here");
            QStringList args{"--port", in.device(), write(contiguous(36, 16))};
            if (mode != "plain") args << mode;
            const Flash f = flash(args);
            QCOMPARE(f.code, 0);
            QVERIFY(f.events.isEmpty());
            const QStringList traffic = f.messages.filter(QRegularExpression("^ *[0-9.]+ s  "));
            for (const QString &m : f.messages)
                QVERIFY2(m.contains(in.device()), qPrintable(m));
            // A start, a block twice without its reply, then with it; while the two replies are
            // owed each block and the end are confirmed twice (on a busy machine a reply seen late
            // is asked once more).
            QVERIFY2(mode == "--verbose" ? traffic.filter(" → ").size() >= 11
                                         : traffic.filter(" → ").isEmpty(),
                     qPrintable(traffic.join('\n')));
            QCOMPARE(traffic.filter("← keine Antwort").size(), mode == "--verbose" ? 2 : 0);
            const QStringList steps = f.messages.filter(" % (");
            QCOMPARE(f.messages.size() - traffic.size(),
                     mode == "--quiet" ? 1 : steps.size() + 2); // the question, the outcome
            if (mode == "--quiet") continue;
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

    // Only the user or the instrument ends a transfer. SIGHUP (a closed terminal) does not; SIGINT
    // and SIGTERM stop it at a frame boundary, also while a silent start is tried again, and the
    // process then ends by that same signal; nothing goes out after it.
    void stopAndHangUp_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<int>("at"); // the percent it is sent at; -1: at the first question
        QTest::newRow("SIGINT mid-run") << int(SIGINT) << QStringList{} << 20;
        QTest::newRow("SIGTERM mid-run") << int(SIGTERM) << QStringList{} << 20;
        QTest::newRow("SIGHUP mid-run: it goes on") << int(SIGHUP) << QStringList{} << 20;
        QTest::newRow("SIGINT on a silent start")
            << int(SIGINT) << QStringList{"start:noreply"} << -1;
    }
    void stopAndHangUp() {
        QFETCH(int, signal);
        QFETCH(QStringList, rules);
        QFETCH(int, at);
        Instrument in(rules);
        if (!in.up) QSKIP("no pseudo-terminal here");
        const Lines lines = contiguous(300, 16);
        std::chrono::steady_clock::time_point sent{};
        const QString log =
            dir_.filePath(QStringLiteral("stopped-%1.log").arg(QTest::currentDataTag()));
        const Flash f =
            flash({"--json", "--retries", "5", "--log", log, "--port", in.device(), write(lines)},
                  [&](QProcess &p, const QJsonObject &e) {
                      const bool due = at >= 0
                                           ? e["event"] == "progress" && e["percent"].toInt() >= at
                                           : e["event"] == "question";
                      if (!due || sent != std::chrono::steady_clock::time_point{}) return;
                      sent = std::chrono::steady_clock::now();
                      ::kill(pid_t(p.processId()), signal);
                  });
        if (signal == SIGHUP) {
            QCOMPARE(f.code, 0);
            QVERIFY(in.holds(lines));
            return;
        }
        QCOMPARE(f.signal, signal);
        QCOMPARE(f.events.last()["outcome"], "interrupted");
        QCOMPARE(f.events.last()["exit"].toInt(), 128 + signal);
        // The record says which signal stopped the run.
        QFile records(log);
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QJsonObject record =
            QJsonDocument::fromJson(records.readAll().trimmed().split('\n').last()).object();
        QCOMPARE(record["signal"].toString(), signal == SIGINT ? "SIGINT" : "SIGTERM");
        QVERIFY(in.sim.lastTaken() != q7310sim::FrameKind::End);
        // A frame in flight when the signal came is answered; nothing is sent after that.
        for (const q7310sim::ReceivedFrame &frame : in.sim.frames())
            QVERIFY(frame.at < sent + std::chrono::milliseconds(100));
    }

    // A reader that goes away (| head -1) does not end the transfer: the instrument gets the
    // whole image, and q7310flash ends with 0.
    void readerGoesAway() {
        Instrument in;
        if (!in.up) QSKIP("no pseudo-terminal here");
        const Lines lines = contiguous(100, 16);
        const Flash f =
            flash({"-c", "set -o pipefail; \"$0\" --json --port \"$1\" \"$2\" | head -1",
                   QStringLiteral(Q7310FLASH), in.device(), write(lines)},
                  {}, QStringLiteral("bash"));
        QCOMPARE(f.code, 0);
        QVERIFY(in.holds(lines));
    }

    // One instrument, one process: the same device named twice is refused before anything is
    // sent; a device another flasher holds is refused with its holder, and that run completes.
    void oneInstrumentOneProcess() {
        Instrument in;
        if (!in.up) QSKIP("no pseudo-terminal here");
        QVERIFY(QFile::link(in.device(), dir_.filePath("twin")));
        const QString image = write(contiguous(200, 16));
        const Flash twice = flash({"--port", in.device(), "--port", dir_.filePath("twin"), image});
        QCOMPARE(twice.code, 2);
        QVERIFY(twice.messages.join(' ').contains(dir_.filePath("twin")));
        QCOMPARE(int(in.sim.frames().size()), 0);
        Flash second;
        qint64 first = 0;
        const Flash f =
            flash({"--json", "--port", in.device(), image}, [&](QProcess &p, const QJsonObject &e) {
                if (e["event"] != "progress" || first) return;
                first = p.processId();
                second = flash({"--json", "--port", dir_.filePath("twin"), image});
            });
        QCOMPARE(f.code, 0);
        QVERIFY(in.holds(contiguous(200, 16)));
        QCOMPARE(second.code, 1);
        QCOMPARE(second.events.last()["reason"], "port-busy");
        const QString said = second.events.value(second.events.size() - 2)["text"].toString();
        QVERIFY2(said.contains("wird bereits benutzt") && said.contains(QString::number(first)),
                 qPrintable(said));
    }

    // A port this user may not open says so and names the fix.
    void notAllowed() {
        if (::geteuid() != 0) QSKIP("needs root to drop its privileges");
        Instrument in;
        if (!in.up) QSKIP("no pseudo-terminal here");
        QFile::setPermissions(dir_.path(),
                              QFile::permissions(dir_.path()) | QFile::ReadOther | QFile::ExeOther);
        const Flash f =
            flash({"--reuid=65534", "--regid=65534", "--clear-groups", QStringLiteral(Q7310FLASH),
                   "--port", in.device(), write(contiguous(20, 16), "plain.a35")},
                  {}, QStringLiteral("setpriv"));
        QCOMPARE(f.code, 1);
        QVERIFY2(f.messages.join(' ').contains("sudo adduser $USER dialout"),
                 qPrintable(f.messages.join(' ')));
    }

    // In a terminal 60 columns wide no line is longer than 60 columns.
    void narrowTerminal() {
        Instrument in;
        if (!in.up) QSKIP("no pseudo-terminal here");
        QProcess script;
        script.setProcessEnvironment([] {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TERM", "xterm");
            return env;
        }());
        script.start("script", {"-qec",
                                QStringLiteral("stty cols 60 rows 20; %1 --port %2 %3")
                                    .arg(Q7310FLASH, in.device(), write(contiguous(150, 16))),
                                "/dev/null"});
        QVERIFY(script.waitForFinished(60000));
        QCOMPARE(script.exitCode(), 0);
        const QString out = QString::fromUtf8(script.readAllStandardOutput())
                                .remove(QRegularExpression("\x1b\\[[0-9;]*[A-Za-z]"));
        const QStringList shown = out.split(QRegularExpression("[\r\n]"), Qt::SkipEmptyParts);
        QVERIFY(shown.size() > 5);
        for (const QString &line : shown)
            QVERIFY2(line.size() <= 60, qPrintable(line));
    }

    // What --check reports is what the image holds, also read from a pipe, once; a damaged image
    // is refused and named, in JSON too.
    void check() {
        Lines lines = contiguous(20, 16);
        lines.insert(10, linear(1));
        const QString file = write(lines);
        QFile read(file);
        QVERIFY(read.open(QIODevice::ReadOnly));
        const QByteArray sha = QCryptographicHash::hash(read.readAll(), QCryptographicHash::Sha256);
        for (const Flash &f :
             {flash({"--check", "--json", file}),
              flash({"-c", "\"$0\" --check --json <(cat \"$1\")", QStringLiteral(Q7310FLASH), file},
                    {}, QStringLiteral("bash"))}) {
            QCOMPARE(f.code, 0);
            const QJsonObject r = f.events.value(0);
            QCOMPARE(r["dataBytes"].toInt(), int(ImageBytes(lines).size()));
            QCOMPARE(r["ranges"].toArray(), QJsonArray({"000000-00009F", "0100A0-01013F"}));
            QCOMPARE(r["sha256"].toString().toLatin1(), sha.toHex());
            QCOMPARE(r["records"].toInt(), 22);
            QCOMPARE(r["frames"].toInt(), 4);
        }
        lines[4] = ":10004000";
        const Flash bad = flash({"--check", "--json", write(lines, "bad.a35")});
        QCOMPARE(bad.code, 1);
        QCOMPARE(bad.events.value(0)["valid"], false);
        QVERIFY2(bad.messages.join(' ').contains("5"), qPrintable(bad.messages.join(' ')));
    }

    // An image path that is a FIFO nobody writes to is waited for, but Ctrl-C ends the wait.
    void fifoWithoutWriter() {
        const QString fifo = dir_.filePath("fifo.a35");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QProcess p;
        p.start(QStringLiteral(Q7310FLASH), {"--port", "/dev/q7310-none", fifo});
        QVERIFY(p.waitForStarted());
        QVERIFY(!p.waitForFinished(300));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
    }

    // An instrument behind a serial device server, reached by its address: through RFC 2217 and
    // through plain TCP a whole run, and the instrument holds the image; stopped and started again
    // mid-run, Wiederholen connects again and the run goes on.
    void deviceServer_data() {
        QTest::addColumn<bool>("telnet");
        QTest::addColumn<bool>("restarted");
        QTest::newRow("rfc2217") << true << false;
        QTest::newRow("socket") << false << false;
        QTest::newRow("rfc2217, the server started again mid-run") << true << true;
    }
    void deviceServer() {
        QFETCH(bool, telnet);
        QFETCH(bool, restarted);
        Instrument in;
        if (!in.up) QSKIP("no pseudo-terminal here");
        DeviceServer server(in.device(), dir_.path());
        if (!server.start()) QSKIP("no ser2net here");
        const Lines lines = contiguous(300, 16);
        int questions = 0;
        const Flash f =
            flash({"--json", "--retries", "9", "--port", server.url(telnet), write(lines)},
                  [&](QProcess &, const QJsonObject &e) {
                      if (!restarted) return;
                      // Stopped at 20 %; back while the second question is put.
                      if (e["event"] == "question" && ++questions == 2) server.start();
                      if (e["event"] == "progress" && e["percent"].toInt() >= 20 &&
                          server.server.state() == QProcess::Running && !questions)
                          server.stop();
                  });
        QCOMPARE(f.code, 0);
        QVERIFY(in.holds(lines));
        QCOMPARE(answers(f).isEmpty(), !restarted);
    }

    // Two instruments at once, one of them refusing every block: each is programmed by its own
    // process from the image read once, the good one completes, the exit code is the worse
    // outcome, and each leaves its record.
    void twoPortsOneFailing() {
        Instrument good, bad({"data:status=32"});
        if (!good.up || !bad.up) QSKIP("no pseudo-terminal here");
        const Lines lines = contiguous(200, 16);
        const QString log = dir_.filePath("runs.log");
        const QString image = write(lines);
        const Flash f = flash({"--json", "--retries", "0", "--log", log, "--port", good.device(),
                               "--port", bad.device(), image});
        QCOMPARE(f.code, 3);
        QVERIFY(good.holds(lines) && bad.sim.memory().empty());
        const QJsonObject summary = f.events.last();
        QCOMPARE(summary["event"], "summary");
        const QJsonArray ports = summary["ports"].toArray();
        QCOMPARE(ports.size(), 2);
        QCOMPARE(ports[0].toObject()["exit"].toInt(), 0);
        QCOMPARE(ports[1].toObject()["exit"].toInt(), 3);
        QCOMPARE(ports[1].toObject()["reason"].toString(), "refused");
        QCOMPARE(ports[1].toObject()["cause"].toString(), "Datenübertragungsfehler");
        // The failing one ended long before the good one: they did not wait for each other.
        QList<QString> outcomes;
        for (const QJsonObject &e : f.events)
            if (e["event"] == "outcome") outcomes << e["port"].toString();
        QCOMPARE(outcomes, QList<QString>({bad.device(), good.device()}));
        QFile records(log), file(image);
        QVERIFY(records.open(QIODevice::ReadOnly) && file.open(QIODevice::ReadOnly));
        const QString sha =
            QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
        QMap<QString, QString> reasons;
        for (const QByteArray &line : records.readAll().split('\n')) {
            if (line.isEmpty()) continue;
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            QCOMPARE(r["image"].toObject()["sha256"].toString(), sha);
            QCOMPARE(r["image"].toObject()["path"].toString(), image);
            QVERIFY(QDateTime::fromString(r["end"].toString(), Qt::ISODateWithMs) >=
                    QDateTime::fromString(r["start"].toString(), Qt::ISODateWithMs));
            reasons[r["port"].toString()] = r["reason"].toString();
        }
        QCOMPARE(reasons, (QMap<QString, QString>{{good.device(), ""}, {bad.device(), "refused"}}));
    }
};

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
