// Several instruments at once from the command line: q7310flash programs the sample image
// (64 KiB) into 1, then 4 simulated instruments at 38400 baud, each port in a child process of
// its own. Four together should take no more than 1.1 times as long as one alone; the CPU time
// is that of q7310flash and its children. With --server the instruments are also reached through
// ser2net on 127.0.0.1 with RFC 2217: one through it should take no more than 1.05 times as long
// as one direct, four through it no more than 1.1 times as long as one (--default-chardelay adds
// a run through ser2net as it is set up by default). With --verbose-cost one run with --verbose
// is set against one without.
// Usage: bench_flash [instruments] [--server [--default-chardelay]] [--verbose-cost]
//        (default 4); exits with 1 when a goal is missed.

#include "simulator/SampleImage.h"
#include "simulator/Simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
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

// ser2net on 127.0.0.1, an RFC 2217 accepter for each device, from port 47400 on. It sends what
// it receives at once (chardelay: false), as a station serving request and reply would be set
// up; with its default it holds received bytes for two characters or 1 ms first.
struct DeviceServer {
    DeviceServer(const QStringList &devices, const QString &dir, bool chardelay) {
        QString yaml = QStringLiteral("%YAML 1.1\n---\n");
        for (int i = 0; i < devices.size(); ++i)
            yaml +=
                QStringLiteral("connection: &c%1\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%2\n"
                               "  connector: serialdev,%3,38400e81,local\n"
                               "  options:\n    chardelay: %4\n")
                    .arg(i)
                    .arg(47400 + i)
                    .arg(devices[i], chardelay ? "true" : "false");
        QFile f(dir + "/ser2net.yaml");
        if (!f.open(QIODevice::WriteOnly)) std::exit(2);
        f.write(yaml.toUtf8());
        f.close();
        server.start(QStringLiteral("ser2net"),
                     {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"),
                      f.fileName(), QStringLiteral("-P"), dir + "/ser2net.pid"});
        if (!server.waitForStarted()) {
            std::fprintf(stderr, "no ser2net\n");
            std::exit(2);
        }
        QThread::msleep(700);
    }
    ~DeviceServer() {
        server.terminate();
        server.waitForFinished();
    }
    QProcess server;
};

enum class Via { Direct, Server, ServerWithCharDelay };

Result flash(int instruments, const QString &image, Via via = Via::Direct,
             const QStringList &more = {QStringLiteral("--quiet")}) {
    std::vector<std::unique_ptr<q7310sim::Simulator>> sims;
    QStringList args, devices;
    for (int i = 0; i < instruments; ++i) {
        sims.push_back(std::make_unique<q7310sim::Simulator>());
        std::string error;
        if (!sims.back()->start(error)) {
            std::fprintf(stderr, "no simulator: %s\n", error.c_str());
            std::exit(2);
        }
        devices << QString::fromStdString(sims.back()->devicePath());
        args << QStringLiteral("--port")
             << (via == Via::Direct ? devices.last()
                                    : QStringLiteral("rfc2217://127.0.0.1:%1").arg(47400 + i));
    }
    QTemporaryDir dir;
    std::unique_ptr<DeviceServer> server;
    if (via != Via::Direct)
        server =
            std::make_unique<DeviceServer>(devices, dir.path(), via == Via::ServerWithCharDelay);
    args << more << image;
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    if (more.contains(QStringLiteral("--verbose"))) p.setStandardErrorFile(QProcess::nullDevice());
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
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool viaServer = args.removeAll(QStringLiteral("--server")) > 0;
    const bool verboseCost = args.removeAll(QStringLiteral("--verbose-cost")) > 0;
    const bool defaultCharDelay = args.removeAll(QStringLiteral("--default-chardelay")) > 0;
    const int many = !args.isEmpty() ? std::max(2, args[0].toInt()) : 4;
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("sample.a35"));
    QFile f(image);
    if (!f.open(QIODevice::WriteOnly)) return 2;
    f.write(QByteArray::fromStdString(sample::Image()));
    f.close();

    if (verboseCost) {
        const Result plain = flash(1, image);
        const Result verbose =
            flash(1, image, Via::Direct, {QStringLiteral("--quiet"), QStringLiteral("--verbose")});
        std::printf(
            "1 instrument: wall %.2f s, cpu %.2f s; with --verbose: wall %.2f s, cpu %.2f s;"
            " ratio %.3f (goal <= 1.01)\n",
            plain.wall, plain.cpu, verbose.wall, verbose.cpu, verbose.wall / plain.wall);
        return plain.allHold && verbose.allHold && verbose.wall <= 1.01 * plain.wall ? 0 : 1;
    }
    const Result one = flash(1, image);
    const Result all = flash(many, image);
    const double ratio = all.wall / one.wall;
    std::printf("1 instrument: wall %.2f s, cpu %.2f s; %d instruments: wall %.2f s, cpu %.2f s "
                "(%.2f s each); ratio %.3f (goal <= 1.1)\n",
                one.wall, one.cpu, many, all.wall, all.cpu, all.cpu / many, ratio);
    bool hold = one.allHold && all.allHold, met = ratio <= 1.1;
    if (viaServer) {
        const Result served = flash(1, image, Via::Server);
        const Result allServed = flash(many, image, Via::Server);
        std::printf("through ser2net (RFC 2217): 1 instrument wall %.2f s, ratio to direct %.3f "
                    "(goal <= 1.05); %d instruments wall %.2f s, ratio %.3f (goal <= 1.1)\n",
                    served.wall, served.wall / one.wall, many, allServed.wall,
                    allServed.wall / served.wall);
        hold = hold && served.allHold && allServed.allHold;
        met = met && served.wall <= 1.05 * one.wall && allServed.wall <= 1.1 * served.wall;
        if (defaultCharDelay) {
            const Result defaults = flash(1, image, Via::ServerWithCharDelay);
            std::printf("through ser2net with its default chardelay: wall %.2f s, ratio %.3f\n",
                        defaults.wall, defaults.wall / one.wall);
        }
    }
    if (!hold) std::printf("an instrument does not hold the image\n");
    return hold && met ? 0 : 1;
}
