#include "transfer/ProgrammingRun.h"

#include "protocol/Frames.h"
#include "protocol/MessageBoxes.h"
#include "protocol/Module1.h"
#include "protocol/ReplyJudge.h"
#include "protocol/ReplyReception.h"
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
    c_.module.beginRun(BoundOf(*plan_, LineSettings));
    LineCount = 0;
    LineTotal = plan_->lines;
    p_ = Progress{};

    for (Step at{};;) {
        Outcome said = c_.front.stopRequested() ? Outcome::Stopped : carryOut(at);
        if (said == Outcome::PortLost) {
            // The frame in flight may or may not have arrived; it goes out again. What the line
            // said after the end's reply while the port was gone is unknown: that is a doubt.
            if (!portRegained()) {
                if (c_.front.stopRequested())
                    said = Outcome::Stopped;
                else if (p_.furthest < 0) {
                    finish(RunOutcome::StartGivenUp, RunReason::PortLost);
                    return;
                } else {
                    failed(RunReason::PortLost);
                    return;
                }
            } else if (at.kind != Step::AfterEnd) {
                continue;
            } else {
                said = Outcome::Doubt;
            }
        }
        if (said == Outcome::Stopped) {
            finish(RunOutcome::Interrupted, RunReason::Interrupted);
            return;
        }
        if (said == Outcome::Bounded) {
            if (!goOnAtBound()) return;
            continue;
        }
        if (said == Outcome::Doubt) {
            const std::optional<Step> resume = afterDoubt(at);
            if (!resume) return;
            at = *resume;
            continue;
        }
        if (said == Outcome::GivenUp && p_.furthest < 0) {
            finish(RunOutcome::StartGivenUp, commandReason(said));
            return;
        }
        if (said != Outcome::Accepted) {
            failed(commandReason(said));
            return;
        }
        if (at.kind == Step::AfterEnd) {
            finish(RunOutcome::Completed, RunReason::None);
            return;
        }
        if (frameOf(at) > p_.furthest) {
            p_.furthest = frameOf(at);
            p_.repairs = 0;
        }
        p_.confirmedSinceDoubt = true;
        at = next(at);
    }
}

RunBound::Limits ProgrammingRun::BoundOf(const ImagePlan &plan, const QString &lineSettings) {
    QList<RunBound::Planned> planned;
    for (qsizetype i = 0; i < plan.frameSizes.size(); ++i) {
        const bool control = i == 0 || i == plan.frameSizes.size() - 1; // the start, the end
        planned.append({LineTime(plan.frameSizes[i] + Frames::ReplyBytes, lineSettings),
                        std::chrono::milliseconds(control ? Module1::StartReplyTimeoutMs
                                                          : ReplyReception::ReplyTimeoutMs)});
    }
    return RunBound::For(planned);
}

int ResumeAfterDoubt(const QList<std::chrono::nanoseconds> &crossings, int at,
                     const AnswerTime &answers) {
    using ns = std::chrono::nanoseconds;
    // A wrong credit passes on to the next frame unseen only if the reply it displaced lands in
    // that frame's band. It comes after the stray reply that took its place by at most the width
    // of the band (and a tenth of its own frame's time on the line, by which a reply may look
    // early); the next frame's band opens its crossing and the shortest turnaround after its
    // write. Before any reply is known, one may come up to its time-out.
    const AnswerTime::Band band =
        answers.count() > 0
            ? answers.band()
            : AnswerTime::Band{-crossings.value(0) * 10,
                               std::chrono::milliseconds(ReplyReception::ReplyTimeoutMs)};
    auto passesOn = [&](int k) {
        const ns opens = std::max(crossings[k] * 9 / 10, crossings[k] + band.lo);
        const ns displacedWithin = std::min(crossings[k - 1] / 10 + band.hi, band.hi - band.lo);
        return opens <= displacedWithin;
    };
    int from = std::min(at, int(crossings.size())) - 1;
    while (from > 1 && passesOn(from))
        --from;
    return std::max(std::min(at, 1), std::min(from, at - 2));
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
    case SerialComm::OpenProblem::Missing:
        return QStringLiteral("%1 kann %2 geöffnet werden: diese Schnittstelle gibt es nicht (%3)")
            .arg(port.portLabel(), again, port.deviceName());
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

Outcome ProgrammingRun::carryOut(Step at) {
    if (at.kind != Step::AfterEnd)
        c_.front.commandBegins(at.kind == Step::Start   ? Command::Start
                               : at.kind == Step::Block ? Command::Data
                                                        : Command::End,
                               frameOf(at));
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
        p_.endWentOut = p_.endWentOut || c_.module.framesSent() > sentBefore;
        break;
    }
    case Step::AfterEnd:
        return c_.module.ListenAfterEnd();
    }
    return st_.LastOutcome;
}

ProgrammingRun::Step ProgrammingRun::next(Step at) const {
    switch (at.kind) {
    case Step::Start:
    case Step::Block:
        return at.block < plan_->blocks.size() ? Step{Step::Block, at.block + 1} : Step{Step::End};
    case Step::End:
    case Step::AfterEnd:
        break;
    }
    return Step{Step::AfterEnd};
}

int ProgrammingRun::frameOf(Step at) const {
    switch (at.kind) {
    case Step::Start:
        return 0;
    case Step::Block:
        return at.block;
    case Step::End:
        return int(plan_->blocks.size()) + 1;
    case Step::AfterEnd:
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
    const bool reachesBack = c_.judge.reachesBack();
    // An instrument that keeps answering after its end, also after every block went out again
    // from the erase on, would have its flash erased on and on: once is enough.
    if (reachesBack && p_.endWentOut && (at.kind == Step::End || at.kind == Step::AfterEnd)) {
        if (p_.doubtedAfterEnd) {
            finish(RunOutcome::TalksAfterEnd, RunReason::TalksAfterEnd,
                   text(Texts::TalksAfterEnd));
            return std::nullopt;
        }
        p_.doubtedAfterEnd = true;
    }
    // Sent again silently, as a first resend is; a line that keeps casting doubt is put to the
    // user like a transmission error.
    ++p_.repairsDone;
    if (++p_.repairs > SilentRepairs) {
        if (c_.boxes.MsgBox(text(Texts::TransmissionError), MsgStyle::CriticalRetry,
                            text(Texts::ErrorTitle)) == MsgAnswer::Cancel) {
            failed(RunReason::Doubt);
            return std::nullopt;
        }
        p_.repairs = 0;
        if (c_.front.personAnswers()) c_.module.renewBound();
    }
    Step resume = at;
    if (reachesBack && p_.endWentOut) {
        // The instrument may have left programming: what it holds can only be rebuilt from the
        // erase on.
        resume = Step{Step::Start};
        p_.endWentOut = false;
    } else if (reachesBack && p_.confirmedSinceDoubt) {
        resume = stepOf(ResumeAfterDoubt(crossings_, frameOf(at), c_.judge.answerTime()));
    }
    p_.confirmedSinceDoubt = false;
    c_.front.repairing(frameOf(resume));
    return resume;
}

bool ProgrammingRun::goOnAtBound() {
    const QString what = boundText();
    if (c_.front.personAnswers() &&
        c_.boxes.MsgBox(what + QLatin1Char('\n') + text(Texts::GoOnAtBound),
                        MsgStyle::CriticalRetry, text(Texts::ErrorTitle)) != MsgAnswer::Cancel) {
        c_.module.renewBound();
        return true;
    }
    failed(RunReason::Bound, what);
    return false;
}

QString ProgrammingRun::boundText() const {
    const RunBound &b = c_.module.bound();
    QString where;
    switch (c_.module.reached()) {
    case RunBound::Reached::Erases:
        where = QStringLiteral("Der Q7310 wurde %1-mal gelöscht, ohne dass er die Übertragung "
                               "bestätigt hat.")
                    .arg(b.erases());
        break;
    case RunBound::Reached::Frames:
        where = QStringLiteral("Die Übertragung hat ihre Grenze von %1 Rahmen erreicht (%2-mal so "
                               "viele wie geplant), ohne dass der Q7310 alles bestätigt hat.")
                    .arg(b.limits().frames)
                    .arg(RunBound::Tries);
        break;
    default:
        where = QStringLiteral("Die Übertragung hat ihre Zeitgrenze von %1 s erreicht (%2-mal "
                               "jeder Rahmen mit seiner Wartezeit, und eine Minute), ohne dass "
                               "der Q7310 alles bestätigt hat.")
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(b.limits().time).count())
                    .arg(RunBound::Tries);
    }
    const ReplyJudge::Tally &t = c_.judge.tally();
    QString did;
    if (t.late > 0)
        did = QStringLiteral("Er antwortet später, als seine Wartezeit erlaubt (300 ms nach "
                             "einem Block, 3 s nach Start und Ende): %1 Antworten kamen erst "
                             "danach.")
                  .arg(t.late);
    else if (t.noReply > 0)
        did = QStringLiteral("%1-mal kam auf einen Rahmen keine Antwort.").arg(t.noReply);
    else if (t.refused > 0)
        did = QStringLiteral("Er hat %1 Rahmen zurückgewiesen.").arg(t.refused);
    else if (t.foreign > 0)
        did = QStringLiteral("%1-mal kamen Bytes, die keine Antwort auf den gesendeten Rahmen "
                             "waren.")
                  .arg(t.foreign);
    return did.isEmpty() ? where : where + QLatin1Char(' ') + did;
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
void ProgrammingRun::failed(RunReason why, const QString &what) {
    const QString prefix = what.isEmpty() ? QString() : what + QLatin1Char('\n');
    if (p_.endWentOut)
        finish(RunOutcome::Unconfirmed, why == RunReason::Bound ? why : RunReason::UnconfirmedEnd,
               prefix + text(Texts::Unconfirmed));
    else
        finish(RunOutcome::Aborted, why, prefix + text(Texts::Aborted));
}

RunReason ProgrammingRun::commandReason(Outcome said) const {
    switch (said) {
    case Outcome::FlashError:
        return RunReason::FlashError;
    case Outcome::Unbuildable: // a block that cannot be put into a frame
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
void ProgrammingRun::finish(RunOutcome outcome, RunReason why, const QString &message) {
    outcome_ = outcome;
    reason_ = why;
    c_.front.ended(outcome);
    if (!message.isEmpty()) c_.boxes.MsgBox(message, MsgStyle::Critical, text(Texts::ErrorTitle));
    c_.front.portHeld(false);
    c_.Comm1.setPortOpen(false);
    c_.front.progress(0, LineTotal);
}
