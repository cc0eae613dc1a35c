#pragma once
// What the transfer button does: open the port, check the image, send the start command, every
// block and the end command, and tell a front what happened; QtCore and the port only.

#include "protocol/TransferState.h"
#include "transfer/RunFront.h"

#include <QList>
#include <QString>
#include <chrono>

class SerialComm;
class MessageBoxes;
class Module1;

namespace Texts {
inline constexpr char ChooseFile[] = "Bitte Hex-Datei auswählen";
inline constexpr char FileTitle[] = "Datei";
inline constexpr char Aborted[] =
    "Die Übertragung wurde abgebrochen. Die Firmware im Q7310 ist unvollständig und muss "
    "erneut übertragen werden.";
inline constexpr char Unconfirmed[] =
    "Die Übertragung konnte vom Q7310 nicht bestätigt werden. Die Firmware im Q7310 ist "
    "möglicherweise unvollständig und muss erneut übertragen werden.";
} // namespace Texts

struct RunControls {
    SerialComm &Comm1;
    MessageBoxes &boxes;
    Module1 &module;
    RunFront &front;
};

class ProgrammingRun {
public:
    static constexpr char DefaultLineSettings[] = "38400,e,8,1";
    // Repairs after a doubt that the user does not hear of, one after the other, before asking.
    static constexpr int SilentRepairs = 3;

    ProgrammingRun(TransferState &st, const RunControls &c) : st_(st), c_(c) {}

    // Programs the image file through port ComN. A call while a run is under way is ignored:
    // one port, one image, one set of block values.
    void Run(int commPort, const QString &fileName);
    bool busy() const { return busy_; }
    RunOutcome outcome() const { return outcome_; }

    // The line settings the port is opened with; a test may run a faster line.
    QString LineSettings = QString::fromLatin1(DefaultLineSettings);

    // The frame a run goes back to when a doubt arises at frame `at` (0 the start, the end
    // frame last, one past it the quiet after the end); lineTimes[k]: frame k on the line.
    static int ResumeAfterDoubt(const QList<std::chrono::nanoseconds> &lineTimes, int at,
                                std::chrono::nanoseconds replyTime);

private:
    void run(const QString &fileName);
    void finish(RunOutcome outcome, const char *message = nullptr);
    // Asks, after the port failed, until it is open again (true) or the user gives up.
    bool portRegained();
    void advanceProgress(int toLine);

    TransferState &st_;
    RunControls c_;
    bool busy_ = false;
    RunOutcome outcome_ = RunOutcome::None;
    int LineCount = 0, LineTotal = 0;
};
