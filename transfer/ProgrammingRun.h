#pragma once
// What the transfer button does: open the port, check the image, send the start command, every
// block and the end command, show the outcome and put the window back to idle.

#include "protocol/TransferState.h"

#include <QString>
#include <array>

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

class ProgrammingRun {
public:
    static constexpr char LineSettings[] = "38400,e,8,1";

    ProgrammingRun(TransferState &st, const RunControls &c) : st_(st), c_(c) {}

    // A click while a run is under way is ignored: one port, one image, one set of block values.
    void cmdLesen_Click();
    bool busy() const { return busy_; }

    // The bar's maximum for an image of lineTotal lines; never 0, which would make a busy bar.
    static int ProgressMaximum(int lineTotal) { return lineTotal > 0 ? lineTotal : 1; }

private:
    void run();
    void abort();
    void restore();

    TransferState &st_;
    RunControls c_;
    bool busy_ = false;
};
