#pragma once
// Owns what lives as long as the program: the transfer state, the main window (created anew when
// it had been closed) and the one help window.

#include "config/Settings.h"
#include "protocol/TransferState.h"
#include "shell/frmQ7310Flasher.h"

#include <QObject>
#include <QPointer>

#include "shell/frmHelp.h"

class Application : public QObject {
    Q_OBJECT
public:
    // The settings file and the port links are looked for where PlacesFor(programDir) says.
    explicit Application(const QString &programDir, frmQ7310Flasher::Seams seams = {},
                         QObject *parent = nullptr);
    ~Application() override;

    // Creates the main window if there is none (running Form_Load) and shows it.
    void showMainWindow();
    // mnuHelp_Click: one help window at most, non-modal, brought to the front if open.
    void showHelp();

    frmQ7310Flasher *mainWindow() const { return main_; }
    frmHelp *helpWindow() const { return help_; }
    TransferState &state() { return state_; }

private:
    TransferState state_;
    Places places_;
    frmQ7310Flasher::Seams seams_;
    QPointer<frmQ7310Flasher> main_;
    QPointer<frmHelp> help_;
};
