// Speed of a whole programming run at line rate: the sample image (64 KiB) sent through the real
// window and serial port to the simulated instrument at 38400 baud, wall time against the time
// the bytes need on the wire and the instrument's own time (its answers, an adapter's ticks).
// Usage: QT_QPA_PLATFORM=offscreen bench_run [--rule WHICH:ACTION]... [runs]   (default 3)
// The rules are q7310sim's: an instrument that answers in its own time, e.g. --rule
// any:delay=0.5 --rule any:ticks=16 for an adapter on its default latency timer.

#include "protocol/ReplyReception.h"
#include "shell/Application.h"
#include "shell/FileDialog.h"
#include "shell/MessageBox.h"
#include "simulator/SampleImage.h"
#include "simulator/Simulator.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int Baud = 38400;

struct CountingBoxes : MessageBoxes {
    int shown = 0;
    int MsgBox(const QString &text, int, const QString &) override {
        ++shown;
        std::fprintf(stderr, "box: %s\n", qPrintable(text));
        return MsgAnswer::Cancel;
    }
};

struct NoDialog : FileDialog {
    void ShowOpen() override {}
};

} // namespace

int main(int argc, char **argv) {
    QApplication qapp(argc, argv);
    int runs = 3;
    std::vector<q7310sim::Rule> rules;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rule" && i + 1 < argc) {
            q7310sim::Rule rule;
            std::string error;
            if (!q7310sim::ParseRule(argv[++i], rule, error)) {
                std::fprintf(stderr, "bench_run: %s\n", error.c_str());
                return 2;
            }
            rules.push_back(rule);
        } else {
            runs = std::max(1, std::atoi(argv[i]));
        }
    }
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("sample.a35"));
    {
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        f.write(QByteArray::fromStdString(sample::Image()));
    }
    const ImagePlan plan = PlanImage(SplitLines(QByteArray::fromStdString(sample::Image())));
    for (int r = 0; r < runs; ++r) {
        q7310sim::Options opt;
        opt.baud = Baud;
        opt.rules = rules;
        opt.seed = unsigned(r + 1);
        q7310sim::Simulator sim(opt);
        std::string error;
        if (!sim.start(error)) {
            std::fprintf(stderr, "no simulator: %s\n", error.c_str());
            return 1;
        }
        QFile::remove(dir.filePath(QStringLiteral("com1")));
        QFile::link(QString::fromStdString(sim.devicePath()), dir.filePath(QStringLiteral("com1")));
        CountingBoxes boxes;
        NoDialog dialog;
        Application app(dir.path(), FlasherSeams{.boxes = &boxes, .fileDialog = &dialog});
        app.showMainWindow();
        app.mainWindow()->CD_01.FileName = image;

        QElapsedTimer t;
        t.start();
        app.mainWindow()->cmdLesen_Click();
        const double wall = double(t.nsecsElapsed()) / 1e9;

        // Every frame the image needs and its 5-byte reply, once, 11 bits a byte (start, 8 data,
        // parity, stop): a frame sent again is a cost of this side.
        const double wire = double(plan.summary.lineBytes) * 11.0 / Baud;
        const auto frames = sim.frames();
        // The quiet the end of a run waits for is a fixed cost, not one that grows with the image.
        const double quiet = ReplyReception::ReplyTimeoutMs / 1000.0;
        const q7310sim::Simulator::Figures figures = sim.figures();
        const double own = std::chrono::duration<double>(figures.own).count();
        std::printf("run %d: %zu frames, %d boxes, %d erases, wall %.3f s, wire %.3f s, "
                    "instrument's own %.3f s, overhead %.2f %% (%.2f %% without the %.1f s end "
                    "check)\n",
                    r + 1, frames.size(), boxes.shown, figures.erases, wall, wire, own,
                    100.0 * (wall - wire - own) / (wire + own),
                    100.0 * (wall - quiet - wire - own) / (wire + own), quiet);
        std::fflush(stdout);
    }
    return 0;
}
