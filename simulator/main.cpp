// q7310sim: a simulated Q7310 on a pseudo-terminal, for trying the flasher without an instrument.

#include "simulator/Simulator.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: q7310sim [--link PATH] [--baud N] [--dump FILE] [--verbose]\n"
                 "                [--hangup-after N] [--seed N] [--rule WHICH:ACTION[=N]]...\n"
                 "  --link:  a symbolic link to the pseudo-terminal, its folders made as needed\n"
                 "  --baud:  the line speed in both directions (default 38400)\n"
                 "%s"
                 "Prints the device path of the pseudo-terminal on the first line.\n",
                 q7310sim::RuleHelp);
}

} // namespace

int main(int argc, char **argv) {
    q7310sim::Options opt;
    std::string link;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "q7310sim: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--link")
            link = value("--link");
        else if (a == "--baud") {
            opt.baud = std::atoi(value("--baud").c_str());
            if (opt.baud <= 0) {
                std::fprintf(stderr, "q7310sim: --baud needs a speed above 0\n");
                return 2;
            }
        } else if (a == "--dump")
            opt.dumpFile = value("--dump");
        else if (a == "--verbose")
            opt.verbose = true;
        else if (a == "--seed")
            opt.seed = unsigned(std::strtoul(value("--seed").c_str(), nullptr, 10));
        else if (a == "--hangup-after")
            opt.hangUpAfter = std::atoi(value("--hangup-after").c_str());
        else if (a == "--rule") {
            q7310sim::Rule rule;
            std::string error;
            if (!q7310sim::ParseRule(value("--rule"), rule, error)) {
                std::fprintf(stderr, "q7310sim: %s\n", error.c_str());
                return 2;
            }
            opt.rules.push_back(rule);
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }

    // Block the ending signals before the simulator's thread starts, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    q7310sim::Simulator sim(opt);
    std::string error;
    if (!sim.start(error)) {
        std::fprintf(stderr, "q7310sim: %s\n", error.c_str());
        return 1;
    }
    if (!link.empty()) {
        // The folder the flasher looks in (~/.config/Q7310Flasher) may not exist yet.
        std::error_code madeDirs;
        const std::filesystem::path folder = std::filesystem::path(link).parent_path();
        if (!folder.empty()) std::filesystem::create_directories(folder, madeDirs);
        ::unlink(link.c_str()); // a stale link from an earlier run
        if (::symlink(sim.devicePath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "q7310sim: cannot create %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", sim.devicePath().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    sim.stop();
    if (!link.empty()) ::unlink(link.c_str());
    return 0;
}
