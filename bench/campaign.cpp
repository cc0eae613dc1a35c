// The fault campaign: seeded random programming runs through the real window and serial port
// against the simulated instrument at 38400 baud, each with one to three faults of a real line,
// on an instrument that answers at once or after a steady latency of up to 150 ms, with or
// without up to 16 ms of jitter, and a verdict for every run from what the instrument holds. A
// success must mean that the instrument holds exactly the image and took the end command after
// it. With --clean the runs have no faults and 16 ms of jitter: what counts then is how often a
// run repaired something silently that nothing had disturbed.
// Usage: QT_QPA_PLATFORM=offscreen fault_campaign [--runs N] [--seed S] [--jobs J] [--clean]
//        fault_campaign --one SEED [--clean]  (one run, one verdict line; what the campaign starts)
// Exit status 1 when any run ended in a false success or hung.

#include "shell/Application.h"
#include "shell/FileDialog.h"
#include "shell/MessageBox.h"
#include "simulator/HexWriter.h"
#include "simulator/Simulator.h"
#include "transfer/ProgrammingRun.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <map>
#include <random>

namespace {

constexpr int Baud = 38400;
constexpr int HangSeconds = 240; // far beyond any run the faults below can make
constexpr int Retries = 3;       // Wiederholen answered this often in a run, then Abbrechen

struct Answering : MessageBoxes {
    int retries = Retries, shown = 0;
    int MsgBox(const QString &, int style, const QString &) override {
        ++shown;
        if (style != MsgStyle::CriticalRetry) return MsgAnswer::OK;
        return retries-- > 0 ? MsgAnswer::Retry : MsgAnswer::Cancel;
    }
};

struct NoDialog : FileDialog {
    void ShowOpen() override {}
};

using Memory = std::map<std::uint32_t, std::uint8_t>;

// About twenty blocks of 16-byte records, now and then a gap that cuts a block short.
std::string MakeImage(std::mt19937 &rng, Memory &memory) {
    std::string text;
    std::uniform_int_distribution<int> records(230, 290), byte(0, 255), gap(0, 39);
    std::uint32_t address = 0x10000 + 0x100 * std::uint32_t(byte(rng));
    std::uint32_t upper = ~0u;
    for (int r = records(rng); r > 0; --r) {
        if (gap(rng) == 0) address += 16 * std::uint32_t(1 + byte(rng) % 8);
        if (address >> 16 != upper) {
            upper = address >> 16;
            const std::uint8_t value[2] = {std::uint8_t(upper >> 8), std::uint8_t(upper)};
            text += hexwriter::Record(4, 0, value, 2) + "\r\n";
        }
        std::uint8_t data[16];
        for (int i = 0; i < 16; ++i)
            memory[address + std::uint32_t(i)] = data[i] = std::uint8_t(byte(rng));
        text += hexwriter::Record(0, address & 0xFFFF, data, 16) + "\r\n";
        address += 16;
    }
    return text + hexwriter::Record(1, 0, nullptr, 0) + "\r\n";
}

// One to three faults, each on a frame as the instrument counts them (retries included).
std::vector<std::string> MakeFaults(std::mt19937 &rng, int frames) {
    std::vector<std::string> rules;
    std::uniform_int_distribution<int> count(1, 3), kind(0, 9), frame(1, frames);
    auto in = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int n = count(rng); n > 0; --n) {
        const std::string at = std::to_string(frame(rng)) + ":";
        switch (kind(rng)) {
        case 0: // a late reply, also later than the settle waits for
            rules.push_back(at + "delay=" + std::to_string(in(300, 4000)));
            break;
        case 1:
            rules.push_back(at + "lost");
            break;
        case 2: // a lost reply
            rules.push_back(at + "noreply");
            break;
        case 3: // a refusal, now and then a second one that makes the box come
            rules.push_back(at + "status=32");
            if (in(0, 1)) rules.push_back(std::to_string(std::stoi(at) + 1) + ":status=32");
            break;
        case 4: // stray bytes or a burst of 0x00 at a random moment, or right before a reply
            switch (in(0, 2)) {
            case 0:
                rules.push_back(at + "stray=" + std::to_string(in(0, 400)));
                break;
            case 1:
                rules.push_back(at + "burst=" + std::to_string(in(0, 400)));
                break;
            default:
                rules.push_back(at + "prefix=" + std::to_string(in(1, 2)));
            }
            break;
        case 5: // a slow erase
            rules.push_back("1:delay=" + std::to_string(in(3000, 4000)));
            break;
        case 6: // a garbled reply: bytes lost to parity errors, or bytes that are no reply
            rules.push_back(at + (in(0, 1) ? "short=" + std::to_string(in(1, 4)) : "garbage=5"));
            break;
        case 7: // a chattering line
            rules.push_back(at + "chatter=" + std::to_string(in(500, 5000)));
            break;
        default: // a reply the instrument sends twice
            rules.push_back(at + "repeat=" + std::to_string(in(70, 250)));
        }
    }
    return rules;
}

// How this instrument answers, after the faults (a fault's own reply rule comes first): at
// once or after a steady latency of up to 150 ms, half of them; with up to 16 ms of jitter, as
// a USB adapter's latency timer adds, half of them. Clean runs always have 16 ms of jitter.
std::vector<std::string> MakeInstrument(std::mt19937 &rng, bool clean) {
    auto in = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<std::string> rules;
    if (in(0, 1)) rules.push_back("any:delay=" + std::to_string(in(1, 150)));
    if (clean)
        rules.push_back("any:jitter=16");
    else if (in(0, 1))
        rules.push_back("any:jitter=" + std::to_string(in(1, 16)));
    return rules;
}

int RunOne(unsigned seed, bool clean) {
    std::mt19937 rng(seed);
    Memory image;
    const std::string text = MakeImage(rng, image);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fw.a35"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.data(), qint64(text.size())) < 0) return 2;
    f.close();
    const int blocks = int(image.size() / 208) + 2; // about; for choosing frames only
    std::vector<std::string> faults;
    if (!clean) faults = MakeFaults(rng, blocks + 2);
    for (const std::string &r : MakeInstrument(rng, clean))
        faults.push_back(r);

    q7310sim::Options opt;
    opt.baud = Baud;
    opt.seed = seed;
    for (const std::string &r : faults) {
        q7310sim::Rule rule;
        std::string error;
        if (!q7310sim::ParseRule(r, rule, error)) return 2;
        opt.rules.push_back(rule);
    }
    q7310sim::Simulator sim(opt);
    std::string error;
    if (!sim.start(error) || !QFile::link(QString::fromStdString(sim.devicePath()),
                                          dir.filePath(QStringLiteral("com1"))))
        return 2;
    Answering boxes;
    NoDialog dialog;
    Application app(dir.path(), FlasherSeams{&boxes, &dialog, nullptr, {}, {}});
    app.showMainWindow();
    app.mainWindow()->CD_01.FileName = path;
    QElapsedTimer clock;
    clock.start();
    app.mainWindow()->cmdLesen_Click();
    const double seconds = double(clock.elapsed()) / 1000.0;

    const bool reported = app.mainWindow()->run().outcome() == RunOutcome::Completed;
    const bool complete = sim.memory() == image && sim.lastTaken() == q7310sim::FrameKind::End;
    const char *verdict =
        reported ? (complete ? "ok" : "FALSE-SUCCESS") : (complete ? "false-abort" : "abort");
    std::string rules;
    for (const std::string &r : faults)
        rules += (rules.empty() ? "" : " ") + r;
    std::printf("seed %u: %s in %.1f s, %zu frames, %d boxes, %d repairs; %s\n", seed, verdict,
                seconds, sim.frames().size(), boxes.shown, app.mainWindow()->run().repairs(),
                rules.c_str());
    return 0;
}

int Campaign(const QString &self, int runs, unsigned seed, int jobs, bool clean) {
    QMap<QString, int> verdicts;
    int repairs = 0, repairedRuns = 0;
    int next = 0, running = 0;
    QList<QProcess *> procs;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    auto launch = [&](auto &again) -> void {
        while (running < jobs && next < runs) {
            const unsigned s = seed + unsigned(next++);
            auto *p = new QProcess;
            procs << p;
            ++running;
            auto *watchdog = new QTimer(p);
            watchdog->setSingleShot(true);
            QObject::connect(watchdog, &QTimer::timeout, p, [p, s, &verdicts] {
                std::printf("seed %u: HANG (killed after %d s)\n", s, HangSeconds);
                ++verdicts[QStringLiteral("HANG")];
                p->setProperty("hung", true);
                p->kill();
            });
            QObject::connect(p, &QProcess::finished, p, [&, p, s, again, watchdog] {
                watchdog->stop();
                const QString out = QString::fromLocal8Bit(p->readAllStandardOutput()).trimmed();
                if (!p->property("hung").toBool()) {
                    const QString verdict = out.section(QLatin1Char(' '), 2, 2);
                    if (out.isEmpty()) {
                        std::printf("seed %u: no verdict (exit %d)\n", s, p->exitCode());
                        ++verdicts[QStringLiteral("BROKEN")];
                    } else {
                        std::printf("%s\n", qPrintable(out));
                        ++verdicts[verdict];
                        const int n = out.section(QStringLiteral(" repairs"), 0, 0)
                                          .section(QLatin1Char(' '), -1)
                                          .toInt();
                        repairs += n;
                        repairedRuns += n > 0;
                    }
                }
                std::fflush(stdout);
                --running;
                again(again);
                if (running == 0) loop.quit();
            });
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            QStringList args{QStringLiteral("--one"), QString::number(s)};
            if (clean) args << QStringLiteral("--clean");
            p->start(self, args);
            watchdog->start(HangSeconds * 1000);
        }
    };
    launch(launch);
    if (running > 0) loop.exec();
    qDeleteAll(procs);

    const int falseSuccesses = verdicts.value(QStringLiteral("FALSE-SUCCESS"));
    const int hangs = verdicts.value(QStringLiteral("HANG"));
    const int falseAborts = verdicts.value(QStringLiteral("false-abort"));
    std::printf("\n%d runs from seed %u in %.0f s: %d ok, %d aborted with the image incomplete, "
                "%d false aborts (%.1f %%), %d false successes, %d hangs, %d broken; %d silent "
                "repairs in %d runs%s\n",
                runs, seed, double(clock.elapsed()) / 1000.0, verdicts.value(QStringLiteral("ok")),
                verdicts.value(QStringLiteral("abort")), falseAborts,
                runs ? 100.0 * falseAborts / runs : 0.0, falseSuccesses, hangs,
                verdicts.value(QStringLiteral("BROKEN")), repairs, repairedRuns,
                clean ? " (clean runs, 16 ms of jitter)" : "");
    return falseSuccesses + hangs + verdicts.value(QStringLiteral("BROKEN")) > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    QApplication qapp(argc, argv);
    int runs = 300, jobs = 2;
    unsigned seed = 1;
    QStringList args = QCoreApplication::arguments();
    const bool clean = args.removeAll(QStringLiteral("--clean")) > 0;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &a = args[i];
        const int value = args[i + 1].toInt();
        if (a == QLatin1String("--one")) return RunOne(unsigned(args[i + 1].toUInt()), clean);
        if (a == QLatin1String("--runs"))
            runs = value;
        else if (a == QLatin1String("--seed"))
            seed = unsigned(args[i + 1].toUInt());
        else if (a == QLatin1String("--jobs"))
            jobs = std::max(1, value);
        else {
            std::fprintf(stderr,
                         "usage: fault_campaign [--runs N] [--seed S] [--jobs J] [--clean]\n");
            return 2;
        }
    }
    return Campaign(QCoreApplication::applicationFilePath(), runs, seed, jobs, clean);
}
