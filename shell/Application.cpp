#include "shell/Application.h"

#include "config/Settings.h"
#include "shell/frmHelp.h"

Application::Application(const QString &programDir, frmQ7310Flasher::Seams seams, QObject *parent)
    : QObject(parent), places_(PlacesFor(programDir)), seams_(std::move(seams)) {}

Application::~Application() {
    delete help_;
    delete main_;
}

void Application::showMainWindow() {
    if (!main_) {
        main_ = new frmQ7310Flasher(state_, places_, seams_);
        main_->setAttribute(Qt::WA_DeleteOnClose);
        connect(main_, &frmQ7310Flasher::helpRequested, this, &Application::showHelp);
        main_->Form_Load();
    }
    main_->show();
    main_->raise();
    main_->activateWindow();
}

void Application::showHelp() {
    if (!help_) {
        help_ = new frmHelp();
        connect(help_, &frmHelp::backToProgram, this, &Application::showMainWindow);
    }
    help_->show();
    help_->raise();
    help_->activateWindow();
}
