// q7310flash: the transfer of the window, from the command line, for scripts, test stations and
// several instruments at once. German like the window; messages on stderr, results on stdout.

#include "cli/ConsoleRun.h"
#include "cli/MultiRun.h"
#include "cli/Outcome.h"
#include "cli/Print.h"
#include "config/Settings.h"
#include "config/Translations.h"
#include "serial/PortInfo.h"
#include "serial/SerialComm.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"
#include "transfer/ProgrammingRun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#if defined(Q_OS_WIN)
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace {

const char Help[] =
    "Aufruf: q7310flash [--port PORT]... [--retries N] [--quiet | --json] DATEI.a35\n"
    "       q7310flash --check DATEI.a35\n"
    "       q7310flash --list-ports\n"
    "\n"
    "Überträgt eine Firmware-Datei (Intel HEX) in den Flash eines Q7310, wie\n"
    "Q7310Flasher es tut. Die Datei wird vollständig geprüft, bevor etwas gesendet\n"
    "wird. Das Q7310 muss im Programmiermode sein (LOAdEPrOM).\n"
    "\n"
    "  --port PORT     com1 ... com8 (wie im Fenster gefunden) oder ein Gerätepfad;\n"
    "                  ohne --port com1. Mehrfach angegeben: jedes Gerät in einem\n"
    "                  eigenen Prozess, alle zugleich.\n"
    "  --retries N     Wiederholen höchstens N-mal je Befehl, dann Abbrechen (2).\n"
    "  --quiet         nur das Ergebnis ausgeben.\n"
    "  --json          ein JSON-Objekt je Zeile auf stdout für jeden Schritt.\n"
    "  --check         nur die Datei prüfen und beschreiben; öffnet keinen Port.\n"
    "  --list-ports    Com1 ... Com8 und die seriellen Schnittstellen des Systems.\n"
    "  --help          diese Hilfe.   --version   die Version.\n"
    "\n"
    "Exit-Codes:\n"
    "  0  Übertragung vollständig und vom Q7310 bestätigt.\n"
    "  1  Nichts übertragen: Datei fehlerhaft oder unlesbar, Port nicht zu öffnen;\n"
    "     die Firmware im Q7310 ist unverändert.\n"
    "  2  Falscher Aufruf; nichts getan.\n"
    "  3  Fehlgeschlagen, nachdem ein Startbefehl gesendet wurde (auch ein\n"
    "     unbeantworteter): das Q7310 ist möglicherweise gelöscht oder unvollständig.\n"
    "  4  Unterbrochen durch SIGINT (Strg-C) oder SIGTERM, am Ende eines Frames.\n"
    "Mit mehreren Ports gilt der schlimmste: 3, dann 4, dann 1, dann 0.\n";

int usage(const QString &why) {
    print(stderr, QStringLiteral("q7310flash: %1\nq7310flash --help zeigt den Aufruf.\n").arg(why));
    return ExitCode::Usage;
}

QString hexAddress(std::int64_t a) {
    return QStringLiteral("%1").arg(a, 6, 16, QLatin1Char('0')).toUpper();
}

// What a user wants to confirm before a transfer; no port is opened.
int check(const QString &file, bool asJson) {
    QList<QByteArray> lines;
    QString problem;
    if (ReadImageFile(file, lines, problem) && (problem = CheckImage(lines)).isEmpty()) {
        const ImageSummary s = SummarizeImage(lines);
        QFile f(file);
        QByteArray sha;
        if (f.open(QIODevice::ReadOnly))
            sha = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
        const QString settings = QString::fromLatin1(ProgrammingRun::DefaultLineSettings);
        const double seconds = double(LineTime(s.lineBytes, settings).count()) / 1e9;
        QStringList ranges;
        for (const auto &[first, last] : s.ranges)
            ranges << hexAddress(first) + "-" + hexAddress(last);
        if (asJson) {
            print(stdout,
                  QString::fromUtf8(
                      QJsonDocument(QJsonObject{{"file", file},
                                                {"records", s.records},
                                                {"dataBytes", s.dataBytes},
                                                {"ranges", QJsonArray::fromStringList(ranges)},
                                                {"frames", s.frames},
                                                {"lineSeconds", seconds},
                                                {"sha256", QString::fromLatin1(sha)}})
                          .toJson(QJsonDocument::Compact)) +
                      "\n");
        } else {
            print(stdout, QStringLiteral("Datei:            %1\n"
                                         "Datensätze:       %2\n"
                                         "Datenbytes:       %3\n"
                                         "Adressbereiche:   %4\n"
                                         "Frames:           %5 (Start, %6 Blöcke, Ende)\n"
                                         "Zeit auf der Leitung bei 38400 Baud: %7 s\n"
                                         "SHA-256:          %8\n")
                              .arg(file)
                              .arg(s.records)
                              .arg(s.dataBytes)
                              .arg(ranges.join(QStringLiteral(", ")))
                              .arg(s.frames)
                              .arg(s.frames - 2)
                              .arg(seconds, 0, 'f', 1)
                              .arg(QString::fromLatin1(sha)));
        }
        return ExitCode::Success;
    }
    print(stderr, QStringLiteral("Die Datei \"%1\" ist fehlerhaft oder nicht lesbar: %2\n")
                      .arg(QFileInfo(file).fileName(), problem));
    return ExitCode::Untouched;
}

int listPorts(const QString &settingsDir) {
    const QList<PortFacts> ports = SystemPorts();
    QString out;
    for (int n = 1; n <= 8; ++n)
        out += QStringLiteral("Com%1  %2\n")
                   .arg(n)
                   .arg(ComPortSummary(LookUpComPort(n, settingsDir, ports)));
    out += QStringLiteral("\nSerielle Schnittstellen des Systems:\n");
    for (const PortFacts &p : ports) {
        const QString facts = PortFactsText(p);
        out += QStringLiteral("%1  %2\n")
                   .arg(p.location, facts.isEmpty() ? QStringLiteral("-") : facts);
    }
    if (ports.isEmpty()) out += QStringLiteral("(keine)\n");
    print(stdout, out);
    return ExitCode::Success;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    // The comN links are looked for where the window looks for them.
    QCoreApplication::setApplicationName(QStringLiteral("Q7310Flasher"));
    InstallGermanTranslations(app); // the port's errors and the option parser's, in German
    const QString settingsDir = SettingsDir(QCoreApplication::applicationDirPath());

    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("PORT"));
    const QCommandLineOption retries(QStringLiteral("retries"), {}, QStringLiteral("N"),
                                     QStringLiteral("2"));
    const QCommandLineOption checkOnly(QStringLiteral("check")), list(QStringLiteral("list-ports")),
        quiet(QStringLiteral("quiet")), json(QStringLiteral("json")),
        help(QStringList{QStringLiteral("h"), QStringLiteral("help")}),
        version(QStringLiteral("version"));
    parser.addOptions({port, retries, checkOnly, list, quiet, json, help, version});
    parser.addPositionalArgument(QStringLiteral("DATEI"), {});
    if (!parser.parse(QCoreApplication::arguments())) return usage(parser.errorText());
    if (parser.isSet(help)) {
        print(stdout, QString::fromUtf8(Help));
        return ExitCode::Success;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("q7310flash %1\n").arg(QStringLiteral(Q7310_VERSION)));
        return ExitCode::Success;
    }
    if (parser.isSet(list)) return listPorts(settingsDir);
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) return usage(QStringLiteral("Genau eine Firmware-Datei angeben."));
    if (parser.isSet(checkOnly)) return check(files[0], parser.isSet(json));

    FlashOptions o;
    o.file = files[0];
    bool ok = false;
    o.retries = parser.value(retries).toInt(&ok);
    if (!ok || o.retries < 0) return usage(QStringLiteral("--retries braucht eine Zahl ab 0."));
    if (parser.isSet(quiet) && parser.isSet(json))
        return usage(QStringLiteral("--quiet und --json schließen einander aus."));
    o.output = parser.isSet(json)    ? Output::Json
               : parser.isSet(quiet) ? Output::Quiet
               : isatty(2)           ? Output::Terminal
                                     : Output::Lines;
    QStringList ports = parser.values(port);
    ports.removeDuplicates();
    if (ports.isEmpty()) ports << QStringLiteral("com1");
    for (const QString &p : ports)
        if (p.isEmpty() || (p.startsWith(QLatin1String("com"), Qt::CaseInsensitive) &&
                            !p.contains(QLatin1Char('/')) && ComPortNumber(p) == 0))
            return usage(QStringLiteral("Unbekannter Port \"%1\": com1 ... com8 oder ein "
                                        "Gerätepfad.")
                             .arg(p));

    StopOnSignals();
    if (ports.size() > 1) return MultiRun(ports, o).exec();
    o.port = ports[0];
    return ConsoleRun(o, settingsDir).exec();
}
