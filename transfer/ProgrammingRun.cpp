#include "transfer/ProgrammingRun.h"

#include "protocol/Frames.h"
#include "protocol/MessageBoxes.h"
#include "protocol/Module1.h"
#include "protocol/ReplyJudge.h"
#include "serial/SerialComm.h"
#include "transfer/HexImage.h"

#include <QFileInfo>

namespace {
QString text(const char *s) {
    return QString::fromUtf8(s);
}
} // namespace

void ProgrammingRun::Run(int commPort, const RunImage &image) {
    if (busy_) return;
    busy_ = true;
    c_.Comm1.CommPort = commPort;
    run(image);
    busy_ = false;
}

void ProgrammingRun::run(const RunImage &image) {
    outcome_ = RunOutcome::NothingSent;
    reason_ = RunReason::None;
    if (!openPort()) return;
    std::shared_ptr<const ImagePlan> plan = image.plan;
    if (!plan && !(plan = readImage(image.name))) return;
    if (!checkImage(image.name, *plan)) return;

    plan_ = plan;
    crossings_.clear();
    for (qsizetype size : plan_->frameSizes)
        crossings_.append(LineTime(size + Frames::ReplyBytes, LineSettings));
    c_.module.beginRun();
    LineCount = 0;
    LineTotal = plan_->lines;
    furthest_ = -1;
    repairs_ = repairsDone_ = 0;
    endWentOut_ = doubtedAfterEnd_ = false;
    confirmedSinceDoubt_ = true;

    for (Step at{};;) {
        CommandOutcome said = c_.front.stopRequested() ? CommandOutcome::Stopped : carryOut(at);
        if (said == CommandOutcome::PortLost) {
            // The frame in flight may or may not have arrived; it goes out again. What the line
            // said after the end's reply while the port was gone is unknown: that is a doubt.
            if (!portRegained()) {
                if (c_.front.stopRequested())
                    said = CommandOutcome::Stopped;
                else if (furthest_ < 0) {
                    finish(RunOutcome::StartGivenUp, RunReason::PortLost);
                    return;
                } else {
                    failed(RunReason::PortLost);
                    return;
                }
            } else if (at.kind != Step::QuietAfterEnd) {
                continue;
            } else {
                said = CommandOutcome::Doubt;
            }
        }
        if (said == CommandOutcome::Stopped) {
            finish(RunOutcome::Interrupted, RunReason::Interrupted);
            return;
        }
        if (said == CommandOutcome::Doubt) {
            const std::optional<Step> resume = afterDoubt(at);
            if (!resume) return;
            at = *resume;
            continue;
        }
        if (said == CommandOutcome::GivenUp && furthest_ < 0) {
            finish(RunOutcome::StartGivenUp, commandReason(said));
            return;
        }
        if (said != CommandOutcome::Accepted) {
            failed(commandReason(said));
            return;
        }
        if (at.kind == Step::QuietAfterEnd) {
            finish(RunOutcome::Completed, RunReason::None);
            return;
        }
        if (frameOf(at) > furthest_) {
            furthest_ = frameOf(at);
            repairs_ = 0;
        }
        confirmedSinceDoubt_ = true;
        at = next(at);
    }
}

namespace {
// Why a port does not open, in words that say what to do about it.
QString openFailure(const SerialComm &port, const QString &again) {
    switch (port.openProblem()) {
    case SerialComm::OpenProblem::Busy:
        return QStringLiteral("%1 (%2) wird bereits benutzt%3.")
            .arg(port.portLabel(), port.deviceName(),
                 port.holder() > 0 ? QStringLiteral(" (Prozess %1)").arg(port.holder())
                                   : QString());
    case SerialComm::OpenProblem::Permission:
        return QStringLiteral("%1 (%2) darf von diesem Benutzer nicht geöffnet werden: %3. "
                              "Unter Linux braucht er die Gruppe dialout: sudo adduser $USER "
                              "dialout, danach neu anmelden.")
            .arg(port.portLabel(), port.deviceName(), port.openError());
    default:
        return QStringLiteral("%1 kann %2 geöffnet werden: %3 (%4)")
            .arg(port.portLabel(), again, port.openError(), port.deviceName());
    }
}
} // namespace

bool ProgrammingRun::openPort() {
    c_.Comm1.Settings = LineSettings;
    c_.Comm1.InputLen = 0;
    if (!c_.Comm1.setPortOpen(true)) {
        c_.boxes.MsgBox(openFailure(c_.Comm1, QStringLiteral("nicht")), MsgStyle::Critical,
                        text(Texts::ErrorTitle));
        const SerialComm::OpenProblem p = c_.Comm1.openProblem();
        finish(RunOutcome::NothingSent, p == SerialComm::OpenProblem::Busy ? RunReason::PortBusy
                                        : p == SerialComm::OpenProblem::Permission
                                            ? RunReason::Permission
                                            : RunReason::PortUnavailable);
        return false;
    }
    c_.Comm1.RThreshold = 1;
    c_.front.portHeld(true);
    return true;
}

// The start command erases the flash, so the whole image is read and checked before it; the
// lines read here are the ones sent, whatever happens to the file on disk meanwhile.
std::shared_ptr<const ImagePlan> ProgrammingRun::readImage(const QString &fileName) {
    QString problem;
    if (fileName.isEmpty()) {
        c_.boxes.MsgBox(text(Texts::ChooseFile), MsgStyle::OkOnly, text(Texts::FileTitle));
        finish(RunOutcome::NothingSent, RunReason::NoFile);
        return nullptr;
    }
    QList<QByteArray> lines;
    if (!ReadImageFile(fileName, lines, problem)) {
        c_.boxes.MsgBox(QStringLiteral("Die Datei \"%1\" kann nicht gelesen werden: %2")
                            .arg(QFileInfo(fileName).fileName(), problem),
                        MsgStyle::Critical, text(Texts::FileTitle));
        finish(RunOutcome::NothingSent, RunReason::ImageUnreadable);
        return nullptr;
    }
    return std::make_shared<const ImagePlan>(PlanImage(lines));
}

bool ProgrammingRun::checkImage(const QString &name, const ImagePlan &plan) {
    if (plan.fit()) return true;
    c_.boxes.MsgBox(QStringLiteral("Die Datei \"%1\" ist fehlerhaft und wird nicht "
                                   "übertragen.\n%2")
                        .arg(QFileInfo(name).fileName(), plan.problem),
                    MsgStyle::Critical, text(Texts::FileTitle));
    finish(RunOutcome::NothingSent, RunReason::ImageInvalid);
    return false;
}

CommandOutcome ProgrammingRun::carryOut(Step at) {
    switch (at.kind) {
    case Step::Start:
        c_.module.SendCommand(Command::Start);
        break;
    case Step::Block: {
        const PlannedBlock &b = plan_->blocks[at.block - 1];
        advanceProgress(b.line);
        st_.BlockAddress = b.address;
        st_.BlockData = b.data;
        st_.BlockSum = b.sum;
        c_.module.SendCommand(Command::Data);
        break;
    }
    case Step::End: {
        advanceProgress(LineTotal);
        const int sentBefore = c_.module.framesSent();
        c_.module.SendCommand(Command::End);
        endWentOut_ = endWentOut_ || c_.module.framesSent() > sentBefore;
        break;
    }
    case Step::QuietAfterEnd:
        // The end is confirmed only when its reply was the last thing the instrument said.
        return c_.module.LineStaysQuiet();
    }
    return st_.LastOutcome;
}

ProgrammingRun::Step ProgrammingRun::next(Step at) const {
    switch (at.kind) {
    case Step::Start:
    case Step::Block:
        return at.block < plan_->blocks.size() ? Step{Step::Block, at.block + 1} : Step{Step::End};
    case Step::End:
    case Step::QuietAfterEnd:
        break;
    }
    return Step{Step::QuietAfterEnd};
}

int ProgrammingRun::frameOf(Step at) const {
    switch (at.kind) {
    case Step::Start:
        return 0;
    case Step::Block:
        return at.block;
    case Step::End:
        return int(plan_->blocks.size()) + 1;
    case Step::QuietAfterEnd:
        break;
    }
    return int(plan_->blocks.size()) + 2;
}

ProgrammingRun::Step ProgrammingRun::stepOf(int frame) const {
    if (frame == 0) return Step{Step::Start};
    if (frame <= plan_->blocks.size()) return Step{Step::Block, frame};
    return Step{Step::End};
}

std::optional<ProgrammingRun::Step> ProgrammingRun::afterDoubt(Step at) {
    // An instrument that keeps talking after its end reply, also after every block went out
    // again from the erase on, would have its flash erased on and on: once is enough.
    if (endWentOut_ && (at.kind == Step::End || at.kind == Step::QuietAfterEnd)) {
        if (doubtedAfterEnd_) {
            finish(RunOutcome::TalksAfterEnd, RunReason::TalksAfterEnd, Texts::TalksAfterEnd);
            return std::nullopt;
        }
        doubtedAfterEnd_ = true;
    }
    // Sent again silently, as a first resend is; a line that keeps casting doubt is put to the
    // user like a transmission error.
    ++repairsDone_;
    if (++repairs_ > SilentRepairs) {
        if (c_.boxes.MsgBox(text(Texts::TransmissionError), MsgStyle::CriticalRetry,
                            text(Texts::ErrorTitle)) == MsgAnswer::Cancel) {
            failed(RunReason::Doubt);
            return std::nullopt;
        }
        repairs_ = 0;
    }
    // Once the end has gone out the instrument may have left programming: what it holds can only
    // be rebuilt from the erase on. Without a confirmation since the last doubt there is nothing
    // new to doubt: the frame is simply sent again.
    Step resume = at;
    if (endWentOut_)
        resume = Step{Step::Start};
    else if (confirmedSinceDoubt_)
        resume = stepOf(c_.judge.resumeAfterDoubt(crossings_, frameOf(at)));
    endWentOut_ = confirmedSinceDoubt_ = false;
    c_.front.repairing(frameOf(resume));
    return resume;
}

bool ProgrammingRun::portRegained() {
    QString message = QStringLiteral("Die Verbindung über %1 ist unterbrochen: %2 (%3)\n"
                                     "Wiederholen öffnet die Schnittstelle erneut.")
                          .arg(c_.Comm1.portLabel(), c_.Comm1.failure(), c_.Comm1.deviceName());
    for (;;) {
        if (c_.boxes.MsgBox(message, MsgStyle::CriticalRetry, text(Texts::ErrorTitle)) ==
                MsgAnswer::Cancel ||
            c_.front.stopRequested())
            return false;
        if (c_.Comm1.setPortOpen(true)) {
            c_.module.portReopened();
            return true;
        }
        message = openFailure(c_.Comm1, QStringLiteral("nicht wieder"));
    }
}

// Once the end has gone out after every block was confirmed, and nothing has been erased since,
// a run that cannot go on may well have left the instrument complete; it says only that this
// could not be confirmed. Before that the instrument may be erased.
void ProgrammingRun::failed(RunReason why) {
    if (endWentOut_)
        finish(RunOutcome::Unconfirmed, RunReason::UnconfirmedEnd, Texts::Unconfirmed);
    else
        finish(RunOutcome::Aborted, why, Texts::Aborted);
}

RunReason ProgrammingRun::commandReason(CommandOutcome said) const {
    switch (said) {
    case CommandOutcome::FlashError:
        return RunReason::FlashError;
    case CommandOutcome::Refused: // a block that cannot be put into a frame
        return RunReason::ImageInvalid;
    default:
        return st_.ReplyStatus == 255 ? RunReason::NoReply : RunReason::Refused;
    }
}

// The bar follows the image line by line up to the record that closed the next block.
void ProgrammingRun::advanceProgress(int toLine) {
    while (LineCount < toLine) {
        c_.front.progress(++LineCount, LineTotal);
        // Keeps the window painted and the animations going through a long stretch of lines.
        c_.judge.clock().LetPendingEventsRun();
    }
}

// The front shows the outcome, a box says what went wrong, and the port is let go.
void ProgrammingRun::finish(RunOutcome outcome, RunReason why, const char *message) {
    outcome_ = outcome;
    reason_ = why;
    c_.front.ended(outcome);
    if (message) c_.boxes.MsgBox(text(message), MsgStyle::Critical, text(Texts::ErrorTitle));
    c_.front.portHeld(false);
    c_.Comm1.setPortOpen(false);
    c_.front.progress(0, LineTotal);
}
