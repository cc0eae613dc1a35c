// Speed of a whole programming run at line rate: the sample image (64 KiB) sent through the real
// window and serial port to the simulated instrument at 38400 baud, wall time against the time
// the bytes need on the wire.
// Usage: QT_QPA_PLATFORM=offscreen bench_run [runs]   (default 3)

#include "protocol/ReplyReception.h"
#include "shell/Application.h"
#include "shell/FileDialog.h"
#include "shell/MessageBox.h"
#include "simulator/SampleImage.h"
#include "simulator/Simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

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
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("sample.a35"));
    {
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        f.write(QByteArray::fromStdString(sample::Image()));
    }
    for (int r = 0; r < runs; ++r) {
        q7310sim::Options opt;
        opt.baud = Baud;
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
        Application app(dir.path(), FlasherSeams{&boxes, &dialog, nullptr, {}, {}});
        app.showMainWindow();
        app.mainWindow()->CD_01.FileName = image;

        QElapsedTimer t;
        t.start();
        app.mainWindow()->cmdLesen_Click();
        const double wall = double(t.nsecsElapsed()) / 1e9;

        // Every frame and its 5-byte reply, 11 bits a byte (start, 8 data, parity, stop).
        double wire = 0;
        const auto frames = sim.frames();
        for (const auto &f : frames)
            wire += double(f.bytes.size() + 5) * 11.0 / Baud;
        // The quiet the end of a run waits for is a fixed cost, not one that grows with the image.
        const double quiet = ReplyReception::ReplyTimeoutMs / 1000.0;
        std::printf("run %d: %zu frames, %d boxes, wall %.3f s, wire %.3f s, overhead %.2f %% "
                    "(%.2f %% without the %.1f s end check)\n",
                    r + 1, frames.size(), boxes.shown, wall, wire, 100.0 * (wall - wire) / wire,
                    100.0 * (wall - quiet - wire) / wire, quiet);
        std::fflush(stdout);
    }
    return 0;
}
