// Several instruments at once from the command line: q7310flash programs the sample image
// (64 KiB) into 1, then 4 simulated instruments at 38400 baud, each port in a child process of
// its own. Four together should take no more than 1.1 times as long as one alone; the CPU time
// is that of q7310flash and its children.
// Usage: bench_flash [instruments]   (default 4); exits with 1 when the goal is missed.

#include "simulator/SampleImage.h"
#include "simulator/Simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>

namespace {

double childCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double wall = 0, cpu = 0;
    bool allHold = false;
};

Result flash(int instruments, const QString &image) {
    std::vector<std::unique_ptr<q7310sim::Simulator>> sims;
    QStringList args;
    for (int i = 0; i < instruments; ++i) {
        sims.push_back(std::make_unique<q7310sim::Simulator>());
        std::string error;
        if (!sims.back()->start(error)) {
            std::fprintf(stderr, "no simulator: %s\n", error.c_str());
            std::exit(2);
        }
        args << QStringLiteral("--port") << QString::fromStdString(sims.back()->devicePath());
    }
    args << QStringLiteral("--quiet") << image;
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(Q7310FLASH), args);
    p.waitForFinished(-1);
    Result r{double(t.nsecsElapsed()) / 1e9, childCpuSeconds() - cpuBefore,
             p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0};
    for (const auto &s : sims)
        r.allHold =
            r.allHold && s->lastTaken() == q7310sim::FrameKind::End && s->memory().size() == 65536;
    return r;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int many = argc > 1 ? std::max(2, std::atoi(argv[1])) : 4;
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("sample.a35"));
    QFile f(image);
    if (!f.open(QIODevice::WriteOnly)) return 2;
    f.write(QByteArray::fromStdString(sample::Image()));
    f.close();

    const Result one = flash(1, image);
    const Result all = flash(many, image);
    const double ratio = all.wall / one.wall;
    std::printf("1 instrument: wall %.2f s, cpu %.2f s; %d instruments: wall %.2f s, cpu %.2f s "
                "(%.2f s each); ratio %.3f (goal <= 1.1)\n",
                one.wall, one.cpu, many, all.wall, all.cpu, all.cpu / many, ratio);
    if (!one.allHold || !all.allHold) {
        std::printf("an instrument does not hold the image\n");
        return 1;
    }
    return ratio <= 1.1 ? 0 : 1;
}
