#pragma once
// What the transfer button does: open the port, check the image, send the start command, every
// block and the end command, show the outcome and put the window back to idle.

#include "protocol/TransferState.h"

#include <QList>
#include <QString>
#include <array>
#include <chrono>

class QAction;
class QProgressBar;
class QTimer;
class QWidget;
class SerialComm;
class FileDialog;
class StatusRow;
class MessageBoxes;
class Module1;

namespace Texts {
inline constexpr char ChooseFile[] = "Bitte Hex-Datei auswählen";
inline constexpr char FileTitle[] = "Datei";
inline constexpr char Aborted[] =
    "Die Übertragung wurde abgebrochen. Die Firmware im Q7310 ist unvollständig und muss "
    "erneut übertragen werden.";
} // namespace Texts

struct RunControls {
    std::array<QAction *, 8> mnuComItems; // mnuCom1..mnuCom8
    QAction *mnuCom;                      // the "&Com" menu as a whole
    SerialComm &Comm1;
    FileDialog &CD_01;
    QWidget *cmdEnd;
    QProgressBar *PBLesen;
    QTimer &Timer2;
    QTimer &Timer3;
    StatusRow &pictures;
    MessageBoxes &boxes;
    Module1 &module;
};

// How the last run ended.
enum class RunOutcome {
    None,         // no run yet
    NothingSent,  // refused before the start command: no port, no file, a damaged image
    StartGivenUp, // the user gave up the start command
    Aborted,      // ended after the start command without the instrument confirming everything
    Completed,    // the instrument confirmed every frame, each with its own reply
};

class ProgrammingRun {
public:
    static constexpr char DefaultLineSettings[] = "38400,e,8,1";
    // Repairs after a doubt that the user does not hear of, one after the other, before asking.
    static constexpr int SilentRepairs = 3;

    ProgrammingRun(TransferState &st, const RunControls &c) : st_(st), c_(c) {}

    // A click while a run is under way is ignored: one port, one image, one set of block values.
    void cmdLesen_Click();
    bool busy() const { return busy_; }
    RunOutcome outcome() const { return outcome_; }

    // The line settings the port is opened with; a test may run a faster line.
    QString LineSettings = QString::fromLatin1(DefaultLineSettings);

    // The bar's maximum for an image of lineTotal lines; never 0, which would make a busy bar.
    static int ProgressMaximum(int lineTotal) { return lineTotal > 0 ? lineTotal : 1; }

    // The frame a run goes back to when a doubt arises at frame `at` (0 the start, the end
    // frame last, one past it the quiet after the end); lineTimes[k]: frame k on the line.
    static int ResumeAfterDoubt(const QList<std::chrono::nanoseconds> &lineTimes, int at,
                                std::chrono::nanoseconds replyTime);

private:
    void run();
    void abort();
    void restore();
    void advanceProgress(int toLine);

    TransferState &st_;
    RunControls c_;
    bool busy_ = false;
    RunOutcome outcome_ = RunOutcome::None;
    int LineCount = 0;
};
