#pragma once
// What the transfer button does: open the port, check the image, send the start command, every
// block and the end command, make sure the line stays quiet after the end's reply, and tell a
// front what happened; QtCore and the port only.

#include "protocol/ReplyJudge.h"
#include "protocol/RunBound.h"
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
// At the bound of a run, in the window: what then.
inline constexpr char GoOnAtBound[] = "Wiederholen setzt die Übertragung fort.";
} // namespace Texts

// Where a run goes on after a doubt at frame `at` (0 the start, then the blocks, the end last)
// that reaches back: frame k and its reply take crossings[k] on the line. Some reply may have
// been credited to the frame after its own; such a wrong credit passes on to the next frame only
// where the displaced reply can land in that frame's band. Two frames back at the least, and
// never to the start: nothing went before it on a purged line.
int ResumeAfterDoubt(const QList<std::chrono::nanoseconds> &crossings, int at,
                     const AnswerTime &answers);

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
    // Rules of the run:
    //  - a doubt that reaches back sends again from where ResumeAfterDoubt says, silently; one
    //    that does not, the frame in doubt; without a confirmation since the last doubt,
    //    nothing new is in doubt: the frame goes again;
    //  - once the end has gone out, a doubt that reaches back can only be settled from the
    //    erase on (the instrument may have left programming); a second one makes the run end
    //    unconfirmed (TalksAfterEnd): never more than two erases for it;
    //  - after three repairs in a row without progress the user is asked, as for a
    //    transmission error;
    //  - at its bound (RunBound) the run asks whether to go on, or gives up where no person
    //    answers, saying what the instrument did.
    static constexpr int SilentRepairs = 3;

    ProgrammingRun(TransferState &st, const RunControls &c) : st_(st), c_(c) {}

    // The bound of a run of this image on a line of these settings.
    static RunBound::Limits BoundOf(const ImagePlan &plan, const QString &lineSettings);

    // Programs the image through port ComN. A call while a run is under way is ignored: one
    // port, one image, one set of block values.
    void Run(int commPort, const RunImage &image);
    bool busy() const { return busy_; }
    RunOutcome outcome() const { return outcome_; }
    RunReason reason() const { return reason_; }

    // The line settings the port is opened with; a test may run a faster line.
    QString LineSettings = QString::fromLatin1(DefaultLineSettings);

    // Repairs after a doubt in the last run.
    int repairs() const { return p_.repairsDone; }

private:
    // Where a run stands: one of its frames, or the listening that follows the end's reply.
    struct Step {
        enum Kind { Start, Block, End, AfterEnd } kind = Start;
        int block = 0; // from 1, for a block
    };
    // How far the run under way has come, begun anew with every run.
    struct Progress {
        int furthest = -1;        // the furthest frame confirmed
        int repairs = 0;          // silent repairs since the run last got further
        int repairsDone = 0;      // in the whole run
        bool endWentOut = false;  // the end frame went out since the last erase
        bool confirmedSinceDoubt = true;
        bool doubtedAfterEnd = false; // a doubt that reached back came after the end already
    };

    void run(const RunImage &image);
    bool openPort();
    std::shared_ptr<const ImagePlan> readImage(const QString &fileName);
    bool checkImage(const QString &name, const ImagePlan &plan);
    // What the instrument said to the step: sends its frame, or listens after the end.
    Outcome carryOut(Step at);
    Step next(Step at) const;
    // After a doubt: the step the run goes on with, silently, or after asking the user; none
    // when the user gives up.
    std::optional<Step> afterDoubt(Step at);
    // At the bound: true when the user goes on.
    bool goOnAtBound();
    // What the instrument did, said at the bound.
    QString boundText() const;
    // Asks, after the port failed, until it is open again (true) or the user gives up.
    bool portRegained();
    // The run cannot go on after the start command went out.
    void failed(RunReason why, const QString &what = {});
    // Why the command just given up ended so.
    RunReason commandReason(Outcome said) const;
    void finish(RunOutcome outcome, RunReason why, const QString &message = {});
    void advanceProgress(int toLine);

    // Frame numbers as ResumeAfterDoubt counts them.
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
    Progress p_;
};
