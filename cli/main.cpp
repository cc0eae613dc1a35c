// q7310flash: the transfer of the window, from the command line, for scripts, test stations and
// several instruments at once. German like the window; messages on stderr, results on stdout.

#include "cli/ConsoleRun.h"
#include "cli/ImageInput.h"
#include "cli/MultiRun.h"
#include "cli/Outcome.h"
#include "cli/Print.h"
#include "cli/Signals.h"
#include "cli/Terminal.h"
#include "config/PortNames.h"
#include "config/Settings.h"
#include "config/Translations.h"
#include "serial/PortInfo.h"
#include "serial/SerialComm.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"
#include "transfer/ProgrammingRun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace {

const char Help[] =
    "Aufruf: q7310flash [--port PORT]... [--retries N] [--quiet | --json] [--verbose]\n"
    "                  [--log DATEI] DATEI.a35\n"
    "       q7310flash --check [--json] DATEI.a35\n"
    "       q7310flash --list-ports [--json]\n"
    "\n"
    "Überträgt eine Firmware-Datei (Intel HEX) in den Flash eines Q7310, wie\n"
    "Q7310Flasher es tut. Die Datei wird einmal gelesen (auch aus einer Pipe;\n"
    "- liest die Standardeingabe) und vollständig geprüft, bevor etwas gesendet\n"
    "wird. Das Q7310 muss im Programmiermode sein (LOAdEPrOM).\n"
    "\n"
    "  --port PORT     comN (wie im Fenster gefunden; unter Windows die Schnittstelle\n"
    "                  COMN, auch COM10 und höher), ein Gerätepfad oder\n"
    "                  ein Geräteserver: rfc2217://HOST:PORT (Telnet mit RFC 2217;\n"
    "                  q7310flash stellt 38400 Baud, gerade Parität, 8 Datenbits, 1\n"
    "                  Stoppbit ein) oder socket://HOST:PORT (reines TCP; die\n"
    "                  Leitung ist so eingestellt, wie der Server sie hat).\n"
    "                  Ohne --port com1. Mehrfach angegeben: jedes Gerät in einem\n"
    "                  eigenen Prozess, alle zugleich. Ein Gerät zweimal (auch unter\n"
    "                  zwei Namen) ist ein Aufruffehler; ein Gerät, das ein anderer\n"
    "                  Prozess benutzt, wird nicht geöffnet.\n"
    "  --retries N     Wiederholen höchstens N-mal je Befehl, dann Abbrechen (2);\n"
    "                  ein Befehl, den eine Reparatur erneut sendet, zählt weiter.\n"
    "  --quiet         nur das Ergebnis ausgeben.\n"
    "  --json          ein JSON-Objekt je Zeile auf stdout für jeden Schritt, mit\n"
    "                  Zeitstempel und Grund.\n"
    "  --verbose       den Verkehr auf der Leitung auf stderr zeigen, wie der\n"
    "                  Monitor des Fensters: Frames, Antworten, Zweifel, Fragen, und\n"
    "                  was das Q7310 nach dem Endebefehl sendet.\n"
    "  --log DATEI     je Gerät und Lauf ein JSON-Objekt an DATEI anhängen: was,\n"
    "                  wann, über welchen Adapter, mit welchem Ergebnis.\n"
    "  --check         nur die Datei prüfen und beschreiben; öffnet keinen Port.\n"
    "  --list-ports    Com1 ... Com8 mit ihren Verknüpfungen und die seriellen\n"
    "                  Schnittstellen des Systems.\n"
    "  --help          diese Hilfe.   --version   die Version.\n"
    "\n"
    "\n";

const char ExitCodesHelp[] =
    "\n"
    "Exit-Codes:\n"
    "  0  Übertragung vollständig und vom Q7310 bestätigt.\n"
    "  1  Nichts übertragen: Datei fehlerhaft oder unlesbar, Port nicht zu öffnen\n"
    "     oder belegt; die Firmware im Q7310 ist unverändert.\n"
    "  2  Falscher Aufruf; nichts getan.\n"
    "  3  Fehlgeschlagen, nachdem ein Startbefehl gesendet wurde (auch ein\n"
    "     unbeantworteter), auch an der Grenze eines Laufs (3 Löschvorgänge, das\n"
    "     Vierfache der geplanten Rahmen oder ihrer Wartezeiten): das Q7310 ist\n"
    "     möglicherweise gelöscht oder unvollständig.\n"
    "  4  Unterbrochen (nur in der Zusammenfassung mehrerer Ports; der Prozess\n"
    "     selbst endet durch das Signal).\n"
    "Mit mehreren Ports gilt der schlimmste: 3, dann 4, dann 1, dann 0.\n";

int usage(const QString &why) {
    print(stderr, QStringLiteral("q7310flash: %1\nq7310flash --help zeigt den Aufruf.\n").arg(why));
    return ExitCode::Usage;
}

QString hexAddress(std::int64_t a) {
    return QStringLiteral("%1").arg(a, 6, 16, QLatin1Char('0')).toUpper();
}

QString compact(const QJsonObject &o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + "\n";
}

// What a user wants to confirm before a transfer; no port is opened. The bytes hashed are the
// bytes checked.
int check(const QString &file, bool asJson) {
    const ImageInput in = ReadImageInput(file);
    if (in.interrupted) EndBySignal(StopSignal());
    const ImagePlan plan = PlanImage(in.lines());
    const QString problem = in.problem.isEmpty() ? plan.problem : in.problem;
    if (!problem.isEmpty()) {
        if (asJson) print(stdout, compact({{"file", file}, {"valid", false}, {"error", problem}}));
        print(stderr, QStringLiteral("Die Datei \"%1\" ist fehlerhaft oder nicht lesbar: %2\n")
                          .arg(QFileInfo(file).fileName(), problem));
        return ExitCode::Untouched;
    }
    const ImageSummary &s = plan.summary;
    const QString settings = QString::fromLatin1(ProgrammingRun::DefaultLineSettings);
    const double seconds = double(LineTime(s.lineBytes, settings).count()) / 1e9;
    QStringList ranges;
    for (const auto &[first, last] : s.ranges)
        ranges << hexAddress(first) + "-" + hexAddress(last);
    if (asJson) {
        print(stdout, compact({{"file", file},
                               {"valid", true},
                               {"records", s.records},
                               {"dataBytes", s.dataBytes},
                               {"ranges", QJsonArray::fromStringList(ranges)},
                               {"frames", s.frames},
                               {"lineSeconds", seconds},
                               {"sha256", in.sha256()}}));
        return ExitCode::Success;
    }
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
                      .arg(in.sha256()));
    return ExitCode::Success;
}

QJsonObject factsJson(const PortFacts &f) {
    QJsonObject o{{"device", f.location}};
    for (const auto &[key, value] :
         {std::pair{"manufacturer", f.manufacturer}, std::pair{"description", f.description},
          std::pair{"serialNumber", f.serialNumber}})
        if (!value.isEmpty()) o.insert(QLatin1String(key), value);
    if (f.vendorId >= 0) o.insert(QStringLiteral("vendorId"), QString::number(f.vendorId, 16));
    if (f.productId >= 0) o.insert(QStringLiteral("productId"), QString::number(f.productId, 16));
    return o;
}

// Com1 .. Com8 with the link each one uses and where the links are looked for, then the serial
// ports of the system.
int listPorts(const QStringList &linkDirs, bool asJson) {
    const QList<PortFacts> ports = SystemPorts();
    if (asJson) {
        QJsonArray com, system;
        for (int n = 1; n <= 8; ++n) {
            const ComPortView v = LookUpComPort(n, linkDirs, ports);
            QJsonObject o{{"com", n}, {"device", v.device}, {"exists", v.exists}};
            if (!v.target.isEmpty()) o.insert(QStringLiteral("target"), v.target);
            if (v.facts) o.insert(QStringLiteral("facts"), factsJson(*v.facts));
            com.append(o);
        }
        for (const PortFacts &p : ports)
            system.append(factsJson(p));
        print(stdout, compact({{"linkDirs", QJsonArray::fromStringList(linkDirs)},
                               {"com", com},
                               {"system", system}}));
        return ExitCode::Success;
    }
    QString out = ComPortsExplained(linkDirs) + QLatin1Char('\n');
    for (int n = 1; n <= 8; ++n)
        out += QStringLiteral("Com%1  %2\n")
                   .arg(n)
                   .arg(ComPortSummary(LookUpComPort(n, linkDirs, ports)));
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

int run(const QStringList &ports, const FlashOptions &options, const QStringList &linkDirs,
        const QString &path) {
    FlashOptions o = options;
    // Read once: the bytes checked are the bytes hashed, sent and recorded.
    const ImageInput image = ReadImageInput(path);
    if (image.interrupted) EndBySignal(StopSignal());
    if (ports.size() > 1 && image.problem.isEmpty()) {
        // A row a port is redrawn in place by cursor movements; a console without them gets
        // plain lines.
        if (o.output == Output::Terminal && !CursorSequences()) o.output = Output::Lines;
        return MultiRun(ports, o, image).exec();
    }
    // An image that cannot be read is reported, and recorded, for every port; nothing is sent.
    int worst = ExitCode::Success;
    for (const QString &port : ports) {
        o.port = port;
        worst = WorseExitCode(worst, ConsoleRun(o, linkDirs, image).exec());
    }
    return worst;
}

} // namespace

int main(int argc, char *argv[]) {
    HandleSignals();
    PrepareConsole();
    QCoreApplication app(argc, argv);
    // The settings and the comN links are looked for where the window looks for them.
    QCoreApplication::setApplicationName(QStringLiteral("Q7310Flasher"));
    InstallGermanTranslations(app); // the port's errors and the option parser's, in German
    const Places places = PlacesFor(QCoreApplication::applicationDirPath());

    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("PORT"));
    const QCommandLineOption retries(QStringLiteral("retries"), {}, QStringLiteral("N"),
                                     QStringLiteral("2"));
    const QCommandLineOption log(QStringLiteral("log"), {}, QStringLiteral("DATEI"));
    // How the parent of several ports names the image it hands a child on its standard input.
    const QCommandLineOption imageName(QStringLiteral("image-name"), {}, QStringLiteral("NAME"));
    const QCommandLineOption checkOnly(QStringLiteral("check")), list(QStringLiteral("list-ports")),
        quiet(QStringLiteral("quiet")), json(QStringLiteral("json")),
        verbose(QStringLiteral("verbose")),
        help(QStringList{QStringLiteral("h"), QStringLiteral("help")}),
        version(QStringLiteral("version"));
    parser.addOptions(
        {port, retries, log, imageName, checkOnly, list, quiet, json, verbose, help, version});
    parser.addPositionalArgument(QStringLiteral("DATEI"), {});
    if (!parser.parse(QCoreApplication::arguments())) return usage(parser.errorText());
    if (parser.isSet(help)) {
        print(stdout, QString::fromUtf8(Help) + QString::fromUtf8(StopHelp) +
                          QString::fromUtf8(ExitCodesHelp));
        return ExitCode::Success;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("q7310flash %1\n").arg(QStringLiteral(Q7310_VERSION)));
        return ExitCode::Success;
    }
    if (parser.isSet(list)) return listPorts(places.links, parser.isSet(json));
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) return usage(QStringLiteral("Genau eine Firmware-Datei angeben."));
    if (parser.isSet(checkOnly)) return check(files[0], parser.isSet(json));

    FlashOptions o;
    o.file = parser.isSet(imageName) ? parser.value(imageName) : files[0];
    bool ok = false;
    o.retries = parser.value(retries).toInt(&ok);
    if (!ok || o.retries < 0) return usage(QStringLiteral("--retries braucht eine Zahl ab 0."));
    if (parser.isSet(quiet) && parser.isSet(json))
        return usage(QStringLiteral("--quiet und --json schließen einander aus."));
    o.output = parser.isSet(json)    ? Output::Json
               : parser.isSet(quiet) ? Output::Quiet
               : SmartTerminal()     ? Output::Terminal
                                     : Output::Lines;
    o.verbose = parser.isSet(verbose);
    o.log = parser.value(log);
    QStringList ports = parser.values(port);
    if (ports.isEmpty()) ports << QStringLiteral("com1");
    // Every port is resolved to the device it opens before anything is sent: one instrument is
    // never opened twice, under whatever names.
    QList<PortTarget> targets;
    for (const QString &p : ports) {
        if (p.isEmpty() ||
            (p.startsWith(QLatin1String("com"), Qt::CaseInsensitive) &&
             !p.contains(QLatin1Char('/')) && ComPortNumber(p) == 0) ||
            (p.contains(QLatin1String("://")) && !IsPortAddress(p)))
            return usage(QStringLiteral("Unbekannter Port \"%1\": com1, com2, ... com%2, ein "
                                        "Gerätepfad, rfc2217://HOST:PORT oder "
                                        "socket://HOST:PORT.")
                             .arg(p)
                             .arg(MaxComPort));
        const PortTarget t = ResolvePort(p, places.links);
        for (const PortTarget &before : targets)
            if (SameDevice(before, t))
                return usage(QStringLiteral("\"%1\" und \"%2\" sind dasselbe Gerät (%3).")
                                 .arg(before.given, p, t.real));
        targets << t;
    }
    const int code = run(ports, o, places.links, files[0]);
    if (StopSignalled()) EndBySignal(StopSignal());
    return code;
}
