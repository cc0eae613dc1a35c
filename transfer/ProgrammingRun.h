#pragma once
// What the transfer button does: open the port, check the image, send the start command, every
// block and the end command, make sure the line stays quiet after the end's reply, and tell a
// front what happened; QtCore and the port only.

#include "protocol/TransferState.h"
#include "transfer/BlockAssembly.h"
#include "transfer/RunFront.h"

#include <QList>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

class SerialComm;
class MessageBoxes;
class Module1;
class ReplyJudge;

namespace Texts {
inline constexpr char ChooseFile[] = "Bitte Hex-Datei auswählen";
inline constexpr char FileTitle[] = "Datei";
inline constexpr char Aborted[] =
    "Die Übertragung wurde abgebrochen. Die Firmware im Q7310 ist unvollständig und muss "
    "erneut übertragen werden.";
inline constexpr char Unconfirmed[] =
    "Die Übertragung konnte vom Q7310 nicht bestätigt werden. Die Firmware im Q7310 ist "
    "möglicherweise unvollständig und muss erneut übertragen werden.";
inline constexpr char TalksAfterEnd[] =
    "Der Q7310 sendet nach dem Endebefehl weitere Daten, auch nach erneuter Übertragung. Die "
    "Übertragung konnte vom Q7310 nicht bestätigt werden. Die Firmware im Q7310 ist "
    "möglicherweise unvollständig und muss erneut übertragen werden.";
} // namespace Texts

// What a run sends: an image file, read and planned when the run starts, or an image read and
// planned before (the command line reads its image once, also from a pipe, and shows its plan).
struct RunImage {
    QString name;                          // the file, or how messages call the image
    std::shared_ptr<const ImagePlan> plan; // null: `name` is read when the run starts
};

struct RunControls {
    SerialComm &Comm1;
    MessageBoxes &boxes;
    Module1 &module;
    ReplyJudge &judge;
    RunFront &front;
};

class ProgrammingRun {
public:
    static constexpr char DefaultLineSettings[] = "38400,e,8,1";
    // Repairs after a doubt that the user does not hear of, one after the other, before asking.
    static constexpr int SilentRepairs = 3;

    ProgrammingRun(TransferState &st, const RunControls &c) : st_(st), c_(c) {}

    // Programs the image through port ComN. A call while a run is under way is ignored: one
    // port, one image, one set of block values.
    void Run(int commPort, const RunImage &image);
    bool busy() const { return busy_; }
    RunOutcome outcome() const { return outcome_; }
    RunReason reason() const { return reason_; }

    // The line settings the port is opened with; a test may run a faster line.
    QString LineSettings = QString::fromLatin1(DefaultLineSettings);

    // Repairs after a doubt in the last run, and the frames they sent again.
    int repairs() const { return repairsDone_; }

private:
    // Where a run stands: one of its frames, or the quiet that must follow the end's reply.
    struct Step {
        enum Kind { Start, Block, End, QuietAfterEnd } kind = Start;
        int block = 0; // from 1, for a block
    };

    void run(const RunImage &image);
    bool openPort();
    std::shared_ptr<const ImagePlan> readImage(const QString &fileName);
    bool checkImage(const QString &name, const ImagePlan &plan);
    // What the instrument said to the step: sends its frame, or listens after the end.
    CommandOutcome carryOut(Step at);
    Step next(Step at) const;
    // After a doubt: the step the run goes on with, silently, or after asking the user; none
    // when the user gives up.
    std::optional<Step> afterDoubt(Step at);
    // Asks, after the port failed, until it is open again (true) or the user gives up.
    bool portRegained();
    // The run cannot go on after the start command went out.
    void failed(RunReason why);
    // Why the command just given up ended so.
    RunReason commandReason(CommandOutcome said) const;
    void finish(RunOutcome outcome, RunReason why, const char *message = nullptr);
    void advanceProgress(int toLine);

    // Frame numbers as the judge counts them when it works out how far a repair goes back.
    int frameOf(Step at) const;
    Step stepOf(int frame) const;

    TransferState &st_;
    RunControls c_;
    bool busy_ = false;
    RunOutcome outcome_ = RunOutcome::None;
    RunReason reason_ = RunReason::None;
    int LineCount = 0, LineTotal = 0;

    // The run under way.
    std::shared_ptr<const ImagePlan> plan_;
    QList<std::chrono::nanoseconds> crossings_; // each frame with its reply on the line
    int furthest_ = -1;                         // the furthest frame confirmed
    int repairs_ = 0;                           // silent repairs since the run last got further
    int repairsDone_ = 0;                       // in the whole run
    bool endWentOut_ = false;                   // the end frame went out since the last erase
    bool confirmedSinceDoubt_ = true;           // something was confirmed since the last doubt
    bool doubtedAfterEnd_ = false;              // a doubt came after the end already once
};
