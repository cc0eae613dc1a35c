// Runs the real main window in its own process, opens Com1 of the given program directory and
// presses "Beenden": the test checks that the process ends at once, running nothing more.

#include "serial/SerialComm.h"
#include "shell/Application.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) return 2;
    Application flasher(QString::fromLocal8Bit(argv[1]));
    flasher.showMainWindow();
    frmQ7310Flasher *w = flasher.mainWindow();
    w->Comm1.CommPort = 1;
    w->Comm1.Settings = QStringLiteral("38400,e,8,1");
    if (!w->Comm1.setPortOpen(true)) return 3;
    std::printf("open\n");
    std::fflush(stdout);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { std::printf("aboutToQuit\n"); });
    QObject::connect(w, &QObject::destroyed, [] { std::printf("destroyed\n"); });
    QTimer::singleShot(0, w, [w] {
        QTimer::singleShot(0, [] { std::printf("later handler\n"); });
        w->cmdEnd->click();
        std::printf("after click\n");
    });
    QApplication::exec();
    std::printf("after exec\n");
    return 4;
}
