#pragma once
// The main window: every control of the tool, start-up, the file button, the port menu, the
// monitor switch and the end button. The transfer button's run lives in transfer/.

#include "config/Settings.h"
#include "protocol/RunClock.h"
#include "protocol/TrafficMonitor.h"
#include "serial/PortInfo.h"
#include "transfer/RunFront.h"

#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class FileDialog;
class MessageBoxes;
class PictureBox;
class ProgrammingRun;
class ReplyJudge;
struct RunParts;
class SerialComm;
class StatusRow;
struct TransferState;

// Window positions are given in twips, 15 to a pixel.
constexpr int Twips(int twips) {
    return twips >= 0 ? (twips * 2 + 15) / 30 : -((-twips * 2 + 15) / 30);
}

// Replaceable parts of the main window; whatever is left empty is the real thing.
struct FlasherSeams {
    MessageBoxes *boxes = nullptr;
    FileDialog *fileDialog = nullptr;
    SerialComm *comm = nullptr;
    std::function<void()> terminate = {}; // ends the process at once
    QString lineSettings = {};            // the port's settings for a run; empty: the instrument's
    RunClock *clock = nullptr;            // what a run waits by; null: the real clock
    std::function<QList<PortFacts>()> systemPorts = {}; // the system's ports; empty: as it reports
};

// The main window is a run's front: it shows what the run tells it and answers its boxes.
class frmQ7310Flasher : public QMainWindow, public TrafficMonitor, public RunFront {
    Q_OBJECT
public:
    static constexpr int LowHeight = 3400;  // monitor off
    static constexpr int HighHeight = 6420; // monitor on
    static constexpr int VersionMajor = 1;
    static constexpr int VersionMinor = 10;

    using Seams = FlasherSeams;

    // places: where the settings file lives and the comN port links are looked for.
    frmQ7310Flasher(TransferState &st, Places places, Seams seams = {}, QWidget *parent = nullptr);
    ~frmQ7310Flasher() override;

    void Form_Load();
    void cmdDatei_Click();
    void cmdLesen_Click();
    // The firmware file chosen, shown and remembered, as the file button leaves it; empty: none.
    // Q7310Flasher FILE (and a .a35 file opened with it) starts so.
    void chooseFile(const QString &path);
    void cmdEnd_Click();
    void chkSSTest_Click();
    void mnuCom_Click(int n); // serves mnuCom1_Click .. mnuCom8_Click
    void mnuHelp_Click();

    // The window's outer height; the one place that turns it into a client size.
    void setOuterHeight(int twips);
    int chkSSTestValue() const;
    bool runBusy() const;
    ProgrammingRun &run();
    // What the run's judge of replies has seen.
    const ReplyJudge &judge() const;

    // TrafficMonitor
    bool monitorOn() const override { return chkSSTestValue() == 1; }
    void setSentText(const QString &text) override;
    void setReplyText(const QString &text) override;

    // RunFront
    void contact(bool on) override;
    void noReply(bool shown) override;
    void startSent() override;
    void portHeld(bool held) override;
    void progress(int line, int total) override;
    void ended(RunOutcome outcome) override;

    // Controls, by their names.
    QWidget *Line1_0 = nullptr;
    QWidget *Line1_1 = nullptr;
    QLabel *Image7 = nullptr;
    PictureBox *Image1 = nullptr;
    PictureBox *Image2 = nullptr;
    PictureBox *Image3 = nullptr;
    PictureBox *Image4 = nullptr;
    PictureBox *Image5 = nullptr;
    PictureBox *Image6 = nullptr;
    QLabel *lblDatei = nullptr;
    QProgressBar *PBLesen = nullptr;
    QPushButton *cmdDatei = nullptr;
    QPushButton *cmdLesen = nullptr;
    QPushButton *cmdEnd = nullptr;
    QPushButton *chkSSTest = nullptr;
    QPlainTextEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    std::array<QLabel *, 4> Panels{}; // status panels 1..4
    QAction *mnuHelp = nullptr;
    QMenu *mnuCom = nullptr;
    std::array<QAction *, 8> mnuComItems{};
    // Ports present above Com8 (Windows numbers USB adapters from COM10), after Com8, as the
    // menu opens; the one chosen stays while it is chosen.
    QMap<int, QAction *> mnuComMore;
    // The reply timer and the two animations go by the run's clock: in simulated time the
    // pictures move as they would.
    RunTimer Timer1;
    RunTimer Timer2;
    RunTimer Timer3;
    SerialComm &Comm1;
    FileDialog &CD_01;
    MessageBoxes &Boxes;

    QString LastHexFile;

signals:
    void helpRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;

private:
    void createControls();
    // The entries above Com8 for the ports present now, and the one chosen.
    void listPortsAboveEight(const QList<PortFacts> &ports);
    // The label shows the file's name whole, cutting the middle of a long path.
    void showFileName(const QString &text);

    TransferState &st_;
    int outerTwips_ = LowHeight;
    int decoration_ = 0; // frame height the last height was worked out with
    Places places_;
    std::function<void()> terminate_;
    std::unique_ptr<SerialComm> ownComm_;
    std::unique_ptr<FileDialog> ownDialog_;
    std::unique_ptr<MessageBoxes> ownBoxes_;
    std::unique_ptr<StatusRow> pictures_;
    std::unique_ptr<RunParts> parts_;
    QPointer<QWidget> focusBeforeRun_;
    std::function<QList<PortFacts>()> systemPorts_;
    QString fileLabel_; // what lblDatei shows, before it is cut to fit
};
