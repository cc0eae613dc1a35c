// The fault campaign: seeded programming runs of images the size of the 64 KiB sample, on
// instrument models that answer each in their own time, with the faults of a real line, each run
// judged by what the instrument holds. A success must mean that the instrument holds exactly the
// image and took the end command after it; a run that gives up although the instrument had
// everything is a false abort.
//
// --virtual: in simulated time (the run's own code on a simulated clock and line), many runs a
// second, as many at once as --jobs says. Otherwise over a real pseudo-terminal through the
// window at 38400 baud, each run a process of its own: the end-to-end truth, slowly. A seed stands
// for the same image, instrument and faults in both worlds.
//
// Usage: fault_campaign [--virtual] [--runs N] [--seed S] [--jobs J] [--model NAME]
//                       [--clean | --residue | --repeat] [--verbose]
//        fault_campaign --one SEED [--virtual] [--model NAME] [--clean | --residue | --repeat]
//        fault_campaign --models
// --clean: no faults; what counts is time, questions and repairs nothing called for.
// --residue: a reply sent twice, the repetition landing where the next frame's reply would come,
// and that frame lost: the coincidence no rule can see by time alone.
// --repeat: a 16 KiB image and one reply sent twice; the time against the same run without it.
// --model drawn: instruments drawn for each run (drawn+ where a reply may come after its
// time-out).
// Exit status 1 when any run ended in a false success or hung, or with --clean when one gave up,
// asked, erased twice or took longer than 1.05 times the time on the wire and the instrument's.

#include "protocol/Frames.h"
#include "protocol/MessageBoxes.h"
#include "protocol/TrafficMonitor.h"
#include "shell/Application.h"
#include "shell/FileDialog.h"
#include "shell/MessageBox.h"
#include "simulator/HexWriter.h"
#include "simulator/Simulator.h"
#include "simulator/VirtualLine.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"
#include "transfer/RunParts.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace {

constexpr int Baud = 38400;
constexpr int HangSeconds = 600; // real time: far beyond any run the faults below can make
constexpr int Retries = 3;       // Wiederholen answered this often in a run, then Abbrechen
// Past its bound a run may go by one attempt and its settling, and the listening after the end.
constexpr std::chrono::seconds HardMargin{30};
constexpr int HardFrames = 4;
// A clean run on a named model takes at most this many times the time on the wire, the
// instrument's own, and that of the frames asked again for their time.
constexpr double CleanTime = 1.05;

using Rng = std::mt19937;

int in(Rng &rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// How an instrument answers: the rules it always has, drawn for the run.
struct Model {
    const char *name;
    const char *what;
    std::vector<std::string> (*rules)(Rng &);
};

const Model Models[] = {
    {"fast", "answers at once", [](Rng &) { return std::vector<std::string>{}; }},
    {"latency", "a steady latency of 1 to 150 ms",
     [](Rng &r) { return std::vector<std::string>{"any:delay=" + std::to_string(in(r, 1, 150))}; }},
    {"jitter", "held 0 to 16 ms at random, as an adapter's latency timer holds it",
     [](Rng &) { return std::vector<std::string>{"any:jitter=16"}; }},
    {"perbyte", "flash time by the block's length: 0.5 ms and 10 or 20 us a byte",
     [](Rng &r) {
         return std::vector<std::string>{"any:delay=0.5",
                                         "any:perbyte=" + std::to_string(in(r, 1, 2) * 10)};
     }},
    {"sector", "the first write into each 4 KiB or 64 KiB sector 20 to 120 ms more",
     [](Rng &r) {
         return std::vector<std::string>{"any:delay=0.5", in(r, 0, 1)
                                                              ? "data:sector=4096:20-120"
                                                              : "data:sector=65536:20-120"};
     }},
    {"endslow", "the end checks the flash: 20 ms to 3 s",
     [](Rng &r) {
         return std::vector<std::string>{"any:delay=0.5",
                                         "any:endslow=" + std::to_string(in(r, 20, 2990))};
     }},
    {"bank", "14 to 20 ms more after 32 KiB (a second flash bank)",
     [](Rng &r) {
         return std::vector<std::string>{"any:delay=0.5",
                                         "data:step=32768:" + std::to_string(in(r, 14, 20))};
     }},
    {"drift", "slows down as it warms: 0 to 20 ms more over the run",
     [](Rng &) { return std::vector<std::string>{"any:delay=0.5", "any:drift=0-20"}; }},
    {"ticks16", "an FTDI adapter at its default: handed on at 16 ms ticks",
     [](Rng &) { return std::vector<std::string>{"any:delay=0.5", "any:ticks=16"}; }},
    {"ticks1", "an adapter with its latency timer at 1 ms",
     [](Rng &) { return std::vector<std::string>{"any:delay=0.5", "any:ticks=1"}; }},
    {"path", "a radio link or USB hub: 5 to 40 ms more at random, order kept",
     [](Rng &) { return std::vector<std::string>{"any:delay=0.5", "any:path=5-40"}; }},
};
constexpr int ModelCount = int(sizeof Models / sizeof Models[0]);

// Instruments drawn for each run: answer-time behaviours composed with random parameters.
const Model Drawn = {"drawn",
                     "composed at random: latency, flash time by length, a second bank, sector "
                     "erases, drift up or down, a thermostat, an adapter's ticks, a path, jitter, "
                     "host stalls, a block it holds answered sooner or later, a slow erase or "
                     "end, talk or a greeting after the end with or without leaving programming; "
                     "within its time-outs, or now and then a little past them (drawn+)",
                     nullptr};

const Model *FindModel(const QString &name) {
    for (const Model &m : Models)
        if (name == QLatin1String(m.name)) return &m;
    return name == QLatin1String(Drawn.name) ? &Drawn : nullptr;
}

double real(Rng &rng, double lo, double hi) {
    return std::round(std::uniform_real_distribution<double>(lo, hi)(rng) * 10) / 10;
}

std::string num(double v) {
    return QString::number(v, 'f', 1).toStdString();
}

struct DrawnInstrument {
    std::vector<std::string> rules;
    bool past = false;    // some reply may come after its time-out
    bool stalls = false;  // the host stalls now and then
};

// An instrument composed of behaviours, each drawn or not, with random parameters; what each
// adds at most to a reply beyond the line is summed, so that whether every reply comes within
// its time-out (300 ms a block, 3 s the start and the end) is known. Now and then one kind of
// frame is set to come close to its time-out, on either side.
DrawnInstrument DrawInstrument(Rng &rng) {
    DrawnInstrument d;
    double own = 0, back = 0, start = 0, end = 0, held = -1; // ms, the most each adds
    auto chance = [&](int percent) { return in(rng, 1, 100) <= percent; };
    auto add = [&](const std::string &r) { d.rules.push_back(r); };
    if (chance(60)) {
        const double v = real(rng, 0.2, 100);
        add("any:delay=" + num(v));
        own += v;
        start += v;
        end += v;
    }
    if (chance(40)) {
        const int us = in(rng, 1, 40);
        add("any:perbyte=" + std::to_string(us));
        own += 248.0 * us / 1000;
    }
    if (chance(30)) {
        const int v = in(rng, 3, 30);
        add("data:step=" + std::to_string(1024 * in(rng, 8, 48)) + ":" + std::to_string(v));
        own += v;
    }
    if (chance(40)) {
        const int size = std::array{1024, 4096, 65536}[std::size_t(in(rng, 0, 2))];
        const int lo = in(rng, 5, 60), hi = in(rng, lo, 150);
        add("data:sector=" + std::to_string(size) + ":" + std::to_string(lo) + "-" +
            std::to_string(hi));
        own += 2 * hi; // a block may begin two sectors
    }
    if (chance(30)) {
        const int from = in(rng, 0, 30), to = in(rng, 0, 30);
        add("any:drift=" + std::to_string(from) + "-" + std::to_string(to));
        own += std::max(from, to);
        start += std::max(from, to);
        end += std::max(from, to);
    }
    if (chance(20)) {
        const int v = in(rng, 5, 30);
        add("any:thermo=" + std::to_string(v) + ":" + std::to_string(in(rng, 1000, 6000)));
        own += v;
        start += v;
        end += v;
    }
    if (chance(40)) {
        const int t = in(rng, 1, 16);
        add("any:ticks=" + std::to_string(t));
        back += t;
    }
    if (chance(25)) {
        const int lo = in(rng, 0, 10), hi = in(rng, lo, 40);
        add("any:path=" + std::to_string(lo) + "-" + std::to_string(hi));
        back += hi;
    }
    if (chance(20)) {
        const int j = in(rng, 1, 16);
        add("any:jitter=" + std::to_string(j));
        back += j;
    }
    if (chance(25)) {
        d.stalls = true;
        back += 30;
    }
    if (chance(30)) { // a block it holds already: at once, or slower than usual
        held = chance(50) ? 0 : real(rng, 0, 80);
        add("data:held=" + num(held));
    }
    if (chance(30)) {
        const double e = real(rng, 0, 2900);
        add("end:slow=" + num(e));
        end += e;
    }
    if (chance(30)) {
        const double e = real(rng, 0, 2900);
        add("start:slow=" + num(e));
        start += e;
    }
    if (chance(30)) { // it says something after its end: the line as it resets, or a greeting
        add(std::string(chance(50) ? "end:talk=" : "end:greet=") + num(real(rng, 0, 500)));
        if (chance(50)) add("end:deaf");
    } else if (chance(15)) {
        add("end:stay");
    }
    double block = std::max(own, held) + back;
    start += back;
    end += back;
    if (chance(30)) { // close to a time-out, on either side
        const double off = real(rng, -30, 30);
        switch (in(rng, 0, 2)) {
        case 0:
            if (300 + off > block) {
                add("data:slow=" + num(300 + off - block));
                block = 300 + off;
            }
            break;
        case 1:
            if (3000 + off > start) {
                add("start:slow=" + num(3000 + off - start));
                start = 3000 + off;
            }
            break;
        default:
            if (3000 + off > end) {
                add("end:slow=" + num(3000 + off - end));
                end = 3000 + off;
            }
        }
    }
    d.past = block > 300 || start > 3000 || end > 3000;
    return d;
}

enum class Mode { Faults, Clean, Residue, Repeat };

// Images the size of the 64 KiB sample: 60 to 68 KiB in one to four sections, mostly 16-byte
// records, now and then 32-byte ones, and a shorter record closing a section.
std::string MakeImage(Rng &rng, q7310sim::Flash &memory, int least = 60000, int most = 68000) {
    std::string text;
    const int sections = in(rng, 1, 4);
    const int total = in(rng, least, most);
    std::uint32_t address = 0x10000 + 0x100 * std::uint32_t(in(rng, 0, 255));
    std::uint32_t upper = ~0u;
    for (int s = 0; s < sections; ++s) {
        int left = total / sections + (s == 0 ? total % sections : 0);
        const int recordBytes = in(rng, 0, 3) == 0 ? 32 : 16;
        while (left > 0) {
            const int n = std::min(left, recordBytes);
            if (address >> 16 != upper) {
                upper = address >> 16;
                const std::uint8_t value[2] = {std::uint8_t(upper >> 8), std::uint8_t(upper)};
                text += hexwriter::Record(4, 0, value, 2) + "\r\n";
            }
            // A record does not cross a 64 KiB boundary.
            const int here = std::min<int>(n, int(0x10000 - (address & 0xFFFF)));
            std::uint8_t data[32];
            for (int i = 0; i < here; ++i)
                data[i] = std::uint8_t(in(rng, 0, 255));
            memory.write(address, data, std::size_t(here));
            text += hexwriter::Record(0, address & 0xFFFF, data, std::size_t(here)) + "\r\n";
            address += std::uint32_t(here);
            left -= here;
        }
        address += 16 * std::uint32_t(in(rng, 1, 2048));
    }
    return text + hexwriter::Record(1, 0, nullptr, 0) + "\r\n";
}

// One to three faults, each on a frame as the instrument counts them (frames sent again
// included).
std::vector<std::string> MakeFaults(Rng &rng, int frames) {
    std::vector<std::string> rules;
    for (int n = in(rng, 1, 3); n > 0; --n) {
        const std::string at = std::to_string(in(rng, 1, frames)) + ":";
        switch (in(rng, 0, 9)) {
        case 0: // a late reply, also later than the settle waits for
            rules.push_back(at + "delay=" + std::to_string(in(rng, 300, 4000)));
            break;
        case 1:
            rules.push_back(at + "lost");
            break;
        case 2: // a lost reply
            rules.push_back(at + "noreply");
            break;
        case 3: // a refusal, now and then a second one that makes the box come
            rules.push_back(at + "status=32");
            if (in(rng, 0, 1)) rules.push_back(std::to_string(std::stoi(at) + 1) + ":status=32");
            break;
        case 4: // stray bytes or a burst of 0x00 at a random moment, or right before a reply
            switch (in(rng, 0, 2)) {
            case 0:
                rules.push_back(at + "stray=" + std::to_string(in(rng, 0, 400)));
                break;
            case 1:
                rules.push_back(at + "burst=" + std::to_string(in(rng, 0, 400)));
                break;
            default:
                rules.push_back(at + "prefix=" + std::to_string(in(rng, 1, 2)));
            }
            break;
        case 5: // a slow erase
            rules.push_back("1:delay=" + std::to_string(in(rng, 3000, 4000)));
            break;
        case 6: // a garbled reply: bytes lost to parity errors, or bytes that are no reply
            rules.push_back(at + (in(rng, 0, 1) ? "short=" + std::to_string(in(rng, 1, 4))
                                                : "garbage=5"));
            break;
        case 7: // a chattering line
            rules.push_back(at + "chatter=" + std::to_string(in(rng, 500, 5000)));
            break;
        default: // a reply the instrument sends twice
            rules.push_back(at + "repeat=" + std::to_string(in(rng, 70, 250)));
        }
    }
    return rules;
}

// What a seed stands for, in either world.
struct Scenario {
    unsigned seed = 0;
    const Model *model = nullptr;
    std::string image;
    q7310sim::Flash memory; // what the instrument must hold
    std::vector<std::string> rules; // the faults first: a fault's own reply rule decides
    Mode mode = Mode::Faults;
    bool past = false;   // drawn, and some reply may come after its time-out
    bool stalls = false; // the host stalls now and then
    QString label() const {
        return QLatin1String(model->name) + (past ? QStringLiteral("+") : QString());
    }
};

Scenario MakeScenario(unsigned seed, Mode mode, const Model *fixed) {
    Rng rng(seed);
    Scenario sc;
    sc.seed = seed;
    sc.mode = mode;
    sc.model = fixed ? fixed : &Models[in(rng, 0, ModelCount - 1)];
    // With --repeat, 16 KiB: what one reply sent twice costs is the larger share there.
    sc.image = mode == Mode::Repeat ? MakeImage(rng, sc.memory, 15500, 17000)
                                    : MakeImage(rng, sc.memory);
    const int frames = int(sc.memory.written() / 200) + 2; // about; for choosing frames only
    if (mode == Mode::Faults) sc.rules = MakeFaults(rng, frames + 10);
    if (mode == Mode::Residue) {
        // Frame k's reply once more, `gap` later: anywhere in the time the next frame's reply
        // is waited for; the next frame lost.
        const int k = in(rng, 2, frames);
        sc.rules = {std::to_string(k) + ":repeat=" + std::to_string(in(rng, 0, 300)),
                    std::to_string(k + 1) + ":lost"};
    }
    if (mode == Mode::Repeat)
        sc.rules = {std::to_string(in(rng, 2, frames)) + ":repeat=" +
                    std::to_string(in(rng, 70, 250))};
    if (sc.model->rules) {
        for (const std::string &r : sc.model->rules(rng))
            sc.rules.push_back(r);
    } else {
        const DrawnInstrument d = DrawInstrument(rng);
        sc.rules.insert(sc.rules.end(), d.rules.begin(), d.rules.end());
        sc.past = d.past;
        sc.stalls = d.stalls;
    }
    return sc;
}

struct Verdict {
    unsigned seed = 0;
    const Model *model = nullptr;
    QString label; // the model, or drawn, or drawn+ (past a time-out)
    QString verdict; // ok, FALSE-SUCCESS, false-abort, abort, HANG, BROKEN
    double seconds = 0, wire = 0, own = 0;
    int frames = 0, boxes = 0, repairs = 0, erases = 0;
    std::string rules;
    bool stalls = false;
    double askedAgain = 0; // the time on the wire of the frames asked again for their time
};

QString Line(const Verdict &v) {
    return QStringLiteral("seed %1: %2 in %3 s (%4 on the wire and the instrument's own), %5 "
                          "frames, %6 boxes, %7 repairs, %8 erases, %11 s asked again; %9: %10")
        .arg(v.seed)
        .arg(v.verdict)
        .arg(v.seconds, 0, 'f', 2)
        .arg(v.wire + v.own, 0, 'f', 2)
        .arg(v.frames)
        .arg(v.boxes)
        .arg(v.repairs)
        .arg(v.erases)
        .arg(v.label, QString::fromStdString(v.rules) + (v.stalls ? " host:stalls" : ""))
        .arg(v.askedAgain, 0, 'f', 2);
}

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

struct Unseen : RunFront, TrafficMonitor {
    const VirtualTime *tracing = nullptr; // set: every frame, reply and repair on stdout
    void trace(const QString &what) const {
        if (tracing)
            std::printf("%10.4f  %s\n", std::chrono::duration<double>(tracing->elapsed()).count(),
                        qPrintable(what));
    }
    void frameSent(int command, std::int64_t address, int bytes) override {
        trace(QStringLiteral("-> %1 %2 %3").arg(command).arg(address, 0, 16).arg(bytes));
    }
    void replyJudged(const QByteArray &reply, int status, std::chrono::nanoseconds after,
                     std::chrono::nanoseconds turnaround, const char *doubt) override {
        trace(QStringLiteral("<- %1 status %2 after %3 ms, turnaround %4 ms %5")
                  .arg(QString::fromLatin1(reply.toHex(' ')))
                  .arg(status)
                  .arg(double(after.count()) / 1e6, 0, 'f', 2)
                  .arg(double(turnaround.count()) / 1e6, 0, 'f', 2)
                  .arg(QString::fromUtf8(doubt)));
    }
    void settled(const QByteArray &dropped, std::chrono::milliseconds) override {
        trace(QStringLiteral("   settled, dropped %1").arg(QString::fromLatin1(dropped.toHex(' '))));
    }
    void repairing(int from) override { trace(QStringLiteral("   repair from frame %1").arg(from)); }
    void contact(bool) override {}
    void noReply(bool) override {}
    void startSent() override {}
    void portHeld(bool) override {}
    void progress(int, int) override {}
    void ended(RunOutcome) override {}
    bool monitorOn() const override { return false; }
    void setSentText(const QString &) override {}
    void setReplyText(const QString &) override {}
    // As on the command line: at its bound the run gives up.
    bool personAnswers() const override { return false; }
};

bool ParseRules(const Scenario &sc, q7310sim::Options &opt, std::string &all) {
    for (const std::string &r : sc.rules) {
        q7310sim::Rule rule;
        std::string error;
        if (!q7310sim::ParseRule(r, rule, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        opt.rules.push_back(rule);
        all += (all.empty() ? "" : " ") + r;
    }
    return true;
}

// Among the faults of a run, the coincidence no rule can see by time alone (what --residue
// draws in every run): a reply sent twice and, a few frames on (the repetition comes 70 to 250 ms
// later), a frame lost, whose block alone is missing from what the instrument holds, every other
// byte right. Such a success is counted apart; any other is a false success.
bool Coincidence(const Scenario &sc, const std::map<std::uint32_t, std::uint8_t> &held) {
    std::vector<int> repeated, lost;
    for (const std::string &r : sc.rules) {
        const std::size_t colon = r.find(':');
        if (colon == 0 || colon == std::string::npos || !std::isdigit(r.front())) continue;
        const int frame = std::stoi(r.substr(0, colon));
        if (r.compare(colon + 1, 7, "repeat=") == 0) repeated.push_back(frame);
        if (r.substr(colon + 1) == "lost") lost.push_back(frame);
    }
    bool drawn = false;
    for (int k : repeated)
        for (int j : lost)
            drawn = drawn || (j > k && j - k <= 4);
    if (!drawn) return false;
    const std::map<std::uint32_t, std::uint8_t> want = sc.memory.bytes();
    std::int64_t first = -1, last = -1, missing = 0;
    for (const auto &[address, byte] : want) {
        const auto it = held.find(address);
        if (it != held.end()) {
            if (it->second != byte) return false;
            continue;
        }
        if (first < 0) first = address;
        last = address;
        ++missing;
    }
    return missing > 0 && missing == last - first + 1 && missing <= 256 &&
           held.size() + std::size_t(missing) == want.size();
}

// held: what the instrument holds, asked for only where a success was false (a copy of the
// whole flash per run would halve the campaign's speed).
QString Judged(const Scenario &sc, bool reported, bool complete,
               const std::function<std::map<std::uint32_t, std::uint8_t>()> &held) {
    if (reported && !complete && sc.mode == Mode::Faults && Coincidence(sc, held()))
        return QStringLiteral("coincidence");
    return reported ? (complete ? QStringLiteral("ok") : QStringLiteral("FALSE-SUCCESS"))
                    : (complete ? QStringLiteral("false-abort") : QStringLiteral("abort"));
}

double Seconds(q7310sim::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The frames a run plans and their replies, each once, on the line.
double PlannedWire(const ImagePlan &plan) {
    return double(plan.summary.lineBytes) * 11 / Baud;
}

// One run in simulated time: the run's code with the real command routine and judge, on a
// simulated clock and line to the instrument.
Verdict RunVirtual(const Scenario &sc, bool trace = false) {
    Verdict v;
    v.seed = sc.seed;
    v.model = sc.model;
    v.label = sc.label();
    v.stalls = sc.stalls;
    q7310sim::Options opt;
    opt.baud = Baud;
    opt.seed = sc.seed;
    opt.keepFrames = false;
    if (!ParseRules(sc, opt, v.rules)) {
        v.verdict = QStringLiteral("BROKEN");
        return v;
    }
    const auto plan = std::make_shared<const ImagePlan>(
        PlanImage(SplitLines(QByteArray::fromStdString(sc.image))));
    // A run that goes past its own bound (RunBound) by more than one attempt can take is a
    // hang, whatever the instrument and the faults.
    const RunBound::Limits bound = ProgrammingRun::BoundOf(*plan, QStringLiteral("38400,e,8,1"));
    VirtualTime time;
    time.limitTo(std::chrono::duration_cast<std::chrono::seconds>(bound.time) + HardMargin);
    q7310sim::Instrument instrument(opt);
    VirtualComm port(time, instrument);
    if (sc.stalls) port.hiccups(2000, 20, 30, sc.seed);
    TransferState st;
    RunTimer Timer1(time);
    Unseen front;
    if (trace) front.tracing = &time;
    Answering boxes;
    RunParts parts(st, Timer1, front, front, boxes, &port, {});
    try {
        parts.run.Run(1, RunImage{QStringLiteral("fw.a35"), plan});
    } catch (const VirtualTime::Stuck &) {
        v.verdict = QStringLiteral("HANG");
    }
    const bool reported = parts.run.outcome() == RunOutcome::Completed;
    const bool complete = instrument.flash() == sc.memory &&
                          instrument.lastTaken() == q7310sim::FrameKind::End;
    if (instrument.frameCount() > bound.frames + HardFrames) v.verdict = QStringLiteral("HANG");
    if (v.verdict.isEmpty())
        v.verdict = Judged(sc, reported, complete, [&] { return instrument.flash().bytes(); });
    v.seconds = std::chrono::duration<double>(time.elapsed()).count();
    v.wire = PlannedWire(*plan);
    v.own = Seconds(instrument.ownTime());
    if (sc.mode == Mode::Repeat && !sc.rules.empty()) {
        // Against the same run without the reply sent twice.
        Scenario clean = sc;
        clean.rules.erase(clean.rules.begin());
        clean.mode = Mode::Clean;
        const Verdict without = RunVirtual(clean);
        v.wire = without.seconds;
        v.own = 0;
    }
    v.frames = instrument.frameCount();
    v.boxes = boxes.shown;
    v.repairs = parts.run.repairs();
    v.erases = instrument.erases();
    v.askedAgain = parts.judge.tally().askedAgain * v.wire / double(plan->frameSizes.size());
    return v;
}

// One run in real time over a pseudo-terminal, through the window.
Verdict RunReal(const Scenario &sc) {
    Verdict v;
    v.seed = sc.seed;
    v.model = sc.model;
    v.label = sc.label(); // host stalls are this machine's own in real time
    v.verdict = QStringLiteral("BROKEN");
    q7310sim::Options opt;
    opt.baud = Baud;
    opt.seed = sc.seed;
    if (!ParseRules(sc, opt, v.rules)) return v;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("fw.a35"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(sc.image.data(), qint64(sc.image.size())) < 0)
        return v;
    f.close();
    q7310sim::Simulator sim(opt);
    std::string error;
    if (!sim.start(error) || !QFile::link(QString::fromStdString(sim.devicePath()),
                                          dir.filePath(QStringLiteral("com1"))))
        return v;
    Answering boxes;
    NoDialog dialog;
    Application app(dir.path(), FlasherSeams{.boxes = &boxes, .fileDialog = &dialog});
    app.showMainWindow();
    app.mainWindow()->CD_01.FileName = path;
    QElapsedTimer clock;
    clock.start();
    app.mainWindow()->cmdLesen_Click();
    v.seconds = double(clock.nsecsElapsed()) / 1e9;
    const bool reported = app.mainWindow()->run().outcome() == RunOutcome::Completed;
    const bool complete =
        sim.memory() == sc.memory.bytes() && sim.lastTaken() == q7310sim::FrameKind::End;
    v.verdict = Judged(sc, reported, complete, [&] { return sim.memory(); });
    const q7310sim::Simulator::Figures figures = sim.figures();
    v.wire = PlannedWire(PlanImage(SplitLines(QByteArray::fromStdString(sc.image))));
    v.own = Seconds(figures.own);
    v.frames = figures.frames;
    v.boxes = boxes.shown;
    v.repairs = app.mainWindow()->run().repairs();
    v.erases = figures.erases;
    v.askedAgain = app.mainWindow()->judge().tally().askedAgain * v.wire /
                   double(PlanImage(SplitLines(QByteArray::fromStdString(sc.image))).frameSizes.size());
    return v;
}

// The run's time against the time on the wire, the instrument's own, and the time on the wire of
// the frames the judge asked again for their time: what nothing else may add to.
double Charged(const Verdict &v) {
    const double may = v.wire + v.own + v.askedAgain;
    return may > 0 ? v.seconds / may : 0;
}

// What a campaign found, model by model.
struct Tally {
    int runs = 0, ok = 0, falseSuccesses = 0, coincidences = 0, falseAborts = 0, aborts = 0,
        hangs = 0, broken = 0;
    int asked = 0, repaired = 0, secondErase = 0;
    double ratioSum = 0, ratioWorst = 0;
    double chargedWorst = 0; // against what the run may take, the frames asked again included
    void add(const Verdict &v) {
        ++runs;
        ok += v.verdict == QLatin1String("ok");
        falseSuccesses += v.verdict == QLatin1String("FALSE-SUCCESS");
        coincidences += v.verdict == QLatin1String("coincidence");
        falseAborts += v.verdict == QLatin1String("false-abort");
        aborts += v.verdict == QLatin1String("abort");
        hangs += v.verdict == QLatin1String("HANG");
        broken += v.verdict == QLatin1String("BROKEN");
        asked += v.boxes > 0;
        repaired += v.repairs > 0;
        secondErase += v.erases > 1;
        const double ratio = v.wire + v.own > 0 ? v.seconds / (v.wire + v.own) : 0;
        ratioSum += ratio;
        ratioWorst = std::max(ratioWorst, ratio);
        const double asked = Charged(v);
        chargedWorst = std::max(chargedWorst, asked);
    }
};

// Whether a run's time is held to CleanTime: on the named models.
bool TimeChecked(const QString &label) {
    return !label.startsWith(QLatin1String(Drawn.name));
}

// A correct instrument on a clean line, within its time-outs: programmed without a question,
// without a repair, with one erase, and on the named models within CleanTime of the time on the
// wire, its own and the frames asked again for their time. Past its time-outs (drawn+) only
// that it ends, and never falsely.
bool CleanHolds(const QString &label, int aborts, int asked, int unneeded, double worst) {
    if (label.endsWith(QLatin1Char('+'))) return true;
    return aborts + asked + unneeded == 0 && (!TimeChecked(label) || worst <= CleanTime);
}

int Summarize(const std::map<QString, Tally> &byModel, int runs, unsigned seed, Mode mode,
              double seconds) {
    Tally all;
    std::printf("\n%-8s %7s %7s %6s %6s %6s %6s %5s %6s %6s %7s %7s %6s %7s\n", "model", "runs",
                "ok", "FS", "coinc", "f-abrt", "abort", "hang", "asked", "repair", "2.erase", "time",
                "worst", "charged");
    for (const auto &[name, t] : byModel) {
        std::printf("%-8s %7d %7d %6d %6d %6d %6d %5d %6d %6d %7d %7.3f %6.3f %7.3f\n",
                    qPrintable(name), t.runs, t.ok, t.falseSuccesses, t.coincidences,
                    t.falseAborts, t.aborts, t.hangs, t.asked, t.repaired, t.secondErase,
                    t.runs ? t.ratioSum / t.runs : 0, t.ratioWorst, t.chargedWorst);
        all.runs += t.runs;
        all.ok += t.ok;
        all.falseSuccesses += t.falseSuccesses;
        all.coincidences += t.coincidences;
        all.falseAborts += t.falseAborts;
        all.aborts += t.aborts;
        all.hangs += t.hangs;
        all.broken += t.broken;
        all.asked += t.asked;
        all.repaired += t.repaired;
        all.secondErase += t.secondErase;
    }
    const char *kind = mode == Mode::Clean     ? " (clean runs)"
                       : mode == Mode::Residue ? " (a reply twice, the next frame lost)"
                       : mode == Mode::Repeat  ? " (16 KiB, one reply sent twice; time: against "
                                                 "the same run without it)"
                                               : "";
    std::printf("\n%d runs from seed %u in %.0f s%s: %d ok, %d aborted with the image incomplete, "
                "%d false aborts (%.2f %%), %d false successes, %d hangs, %d broken; %d asked the "
                "user, %d repaired silently, %d erased more than once\n"
                "(time: the run against the time on the wire and the instrument's own, mean and "
                "worst; charged: the worst against those and the frames asked again for their "
                "time)\n",
                runs, seed, seconds, kind, all.ok, all.aborts, all.falseAborts,
                runs ? 100.0 * all.falseAborts / runs : 0.0, all.falseSuccesses, all.hangs,
                all.broken, all.asked, all.repaired, all.secondErase);
    if (all.coincidences > 0)
        std::printf("%d ended in success with the one block missing that a frame lost took, its "
                    "reply stood in for by one sent twice a few frames before: the coincidence "
                    "--residue measures, counted apart\n",
                    all.coincidences);
    bool cleanFailed = false;
    for (const auto &[name, t] : byModel)
        if (mode == Mode::Clean && !CleanHolds(name, t.falseAborts + t.aborts, t.asked,
                                               t.secondErase + t.repaired, t.chargedWorst)) {
            std::printf("clean runs of %s: not every one programmed at once without a question "
                        "and one erase%s\n",
                        qPrintable(name), TimeChecked(name) ? " within its time" : "");
            cleanFailed = true;
        }
    return all.falseSuccesses + all.hangs + all.broken > 0 || cleanFailed ? 1 : 0;
}

bool Notable(const Verdict &v, Mode mode) {
    return v.verdict != QLatin1String("ok") && v.verdict != QLatin1String("abort")
               ? true
               : mode == Mode::Clean &&
                     !CleanHolds(v.label, v.verdict != QLatin1String("ok"), v.boxes,
                                 (v.erases > 1) + v.repairs, Charged(v));
}

int VirtualCampaign(int runs, unsigned seed, int jobs, Mode mode, const Model *model,
                    bool verbose) {
    std::mutex mutex;
    std::map<QString, Tally> byModel;
    std::atomic<int> next{0};
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j)
        workers.emplace_back([&] {
            for (int i; (i = next++) < runs;) {
                const Verdict v = RunVirtual(MakeScenario(seed + unsigned(i), mode, model));
                std::lock_guard lock(mutex);
                byModel[v.label].add(v);
                if (verbose || Notable(v, mode)) {
                    std::printf("%s\n", qPrintable(Line(v)));
                    std::fflush(stdout);
                }
            }
        });
    for (std::thread &w : workers)
        w.join();
    return Summarize(byModel, runs, seed, mode, double(clock.elapsed()) / 1000);
}

int RealCampaign(const QString &self, const QStringList &passOn, int runs, unsigned seed,
                 int jobs, Mode mode) {
    std::map<QString, Tally> byModel;
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
            QObject::connect(watchdog, &QTimer::timeout, p, [p] {
                p->setProperty("hung", true);
                p->kill();
            });
            QObject::connect(p, &QProcess::finished, p, [&, p, s, again, watchdog] {
                watchdog->stop();
                const QString out = QString::fromLocal8Bit(p->readAllStandardOutput()).trimmed();
                Verdict v;
                v.seed = s;
                const Scenario sc = MakeScenario(
                    s, mode, FindModel(passOn.value(passOn.indexOf(QStringLiteral("--model")) + 1)));
                v.model = sc.model;
                v.label = sc.label();
                if (p->property("hung").toBool()) {
                    v.verdict = QStringLiteral("HANG");
                    std::printf("seed %u: HANG (killed after %d s)\n", s, HangSeconds);
                } else if (out.isEmpty()) {
                    v.verdict = QStringLiteral("BROKEN");
                    std::printf("seed %u: no verdict (exit %d)\n", s, p->exitCode());
                } else {
                    std::printf("%s\n", qPrintable(out));
                    // "seed S: VERDICT in T s (W on ...), F frames, B boxes, R repairs, E erases"
                    const QStringList w = out.split(QLatin1Char(' '));
                    v.verdict = w.value(2);
                    v.seconds = w.value(4).toDouble();
                    v.wire = w.value(6).mid(1).toDouble();
                    v.frames = w.value(14).toInt();
                    v.boxes = w.value(16).toInt();
                    v.repairs = w.value(18).toInt();
                    v.erases = w.value(20).toInt();
                    v.askedAgain = w.value(22).toDouble();
                }
                std::fflush(stdout);
                byModel[v.label].add(v);
                --running;
                again(again);
                if (running == 0) loop.quit();
            });
            p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p->start(self, QStringList{QStringLiteral("--one"), QString::number(s)} + passOn);
            watchdog->start(HangSeconds * 1000);
        }
    };
    launch(launch);
    if (running > 0) loop.exec();
    qDeleteAll(procs);
    return Summarize(byModel, runs, seed, mode, double(clock.elapsed()) / 1000);
}

const char Usage[] =
    "usage: fault_campaign [--virtual] [--runs N] [--seed S] [--jobs J] [--model NAME]\n"
    "                      [--clean | --residue | --repeat] [--verbose]\n"
    "       fault_campaign --one SEED [--virtual] [--model NAME] [--clean | --residue |\n"
    "                      --repeat]\n"
    "       fault_campaign --models\n";

} // namespace

int main(int argc, char **argv) {
    QApplication qapp(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    auto flag = [&args](const char *name) { return args.removeAll(QLatin1String(name)) > 0; };
    const bool isVirtual = flag("--virtual"), verbose = flag("--verbose");
    const Mode mode = flag("--clean")     ? Mode::Clean
                      : flag("--residue") ? Mode::Residue
                      : flag("--repeat")  ? Mode::Repeat
                                          : Mode::Faults;
    if (flag("--models")) {
        for (const Model &m : Models)
            std::printf("%-8s %s\n", m.name, m.what);
        std::printf("%-8s %s\n", Drawn.name, Drawn.what);
        return 0;
    }
    int runs = 300, jobs = 2;
    unsigned seed = 1;
    long one = -1;
    const Model *model = nullptr;
    for (int i = 0; i + 1 < args.size(); i += 2) {
        const QString &a = args[i];
        const QString &value = args[i + 1];
        if (a == QLatin1String("--one"))
            one = long(value.toUInt());
        else if (a == QLatin1String("--runs"))
            runs = value.toInt();
        else if (a == QLatin1String("--seed"))
            seed = value.toUInt();
        else if (a == QLatin1String("--jobs"))
            jobs = std::max(1, value.toInt());
        else if (a == QLatin1String("--model") && (model = FindModel(value))) {
        } else {
            std::fprintf(stderr, "%s", Usage);
            return 2;
        }
    }
    if (args.size() % 2 != 0) {
        std::fprintf(stderr, "%s", Usage);
        return 2;
    }
    if (one >= 0) {
        const Scenario sc = MakeScenario(unsigned(one), mode, model);
        const Verdict v = isVirtual ? RunVirtual(sc, verbose) : RunReal(sc);
        std::printf("%s\n", qPrintable(Line(v)));
        return 0;
    }
    if (isVirtual) return VirtualCampaign(runs, seed, jobs, mode, model, verbose);
    QStringList passOn;
    if (mode == Mode::Clean) passOn << QStringLiteral("--clean");
    if (mode == Mode::Residue) passOn << QStringLiteral("--residue");
    if (mode == Mode::Repeat) passOn << QStringLiteral("--repeat");
    if (model) passOn << QStringLiteral("--model") << QLatin1String(model->name);
    return RealCampaign(QCoreApplication::applicationFilePath(), passOn, runs, seed, jobs, mode);
}
