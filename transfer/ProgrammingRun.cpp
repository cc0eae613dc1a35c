#include "transfer/ProgrammingRun.h"

#include "protocol/Frames.h"
#include "protocol/MessageBoxes.h"
#include "protocol/Module1.h"
#include "serial/SerialComm.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
QString text(const char *s) {
    return QString::fromUtf8(s);
}
} // namespace

void ProgrammingRun::Run(int commPort, const QString &fileName) {
    if (busy_) return;
    busy_ = true;
    c_.Comm1.CommPort = commPort;
    run(fileName);
    busy_ = false;
}

int ProgrammingRun::ResumeAfterDoubt(const QList<std::chrono::nanoseconds> &lineTimes, int at,
                                     std::chrono::nanoseconds replyTime) {
    // A byte nobody can explain means that some reply may have been credited to the frame after
    // its own. Such a wrong credit passes on to the next frame unseen only if the reply it
    // displaced comes at least 90 % of that frame's line time after the frame was written; yet it
    // comes at most a tenth of its own frame's line time, its own line time and the instrument's
    // and our own latency after that. So the credits in doubt are those of the short frames
    // right before the doubt and of the frame before them, which took the stray reply. Two
    // frames back at the least, for an instrument slower than this reckoning. Before the start
    // there is nothing: the start (it erases) and every block go out again.
    using namespace std::chrono;
    constexpr nanoseconds latency = 20ms;
    auto passesOn = [&](int k) {
        return lineTimes[k] * 9 / 10 <= lineTimes[k - 1] / 10 + replyTime + latency;
    };
    int from = std::min(at, int(lineTimes.size())) - 1;
    while (from > 0 && passesOn(from))
        --from;
    return std::max(0, std::min(from, at - 2));
}

void ProgrammingRun::run(const QString &fileName) {
    outcome_ = RunOutcome::NothingSent;
    c_.Comm1.Settings = LineSettings;
    c_.Comm1.InputLen = 0;
    if (!c_.Comm1.setPortOpen(true)) {
        c_.boxes.MsgBox(QStringLiteral("%1 kann nicht geöffnet werden: %2 (%3)")
                            .arg(c_.Comm1.portLabel(), c_.Comm1.openError(), c_.Comm1.deviceName()),
                        MsgStyle::Critical, text(Texts::ErrorTitle));
        finish(RunOutcome::NothingSent);
        return;
    }
    c_.Comm1.RThreshold = 1;
    c_.front.portHeld(true);

    if (fileName.isEmpty()) {
        c_.boxes.MsgBox(text(Texts::ChooseFile), MsgStyle::OkOnly, text(Texts::FileTitle));
        finish(RunOutcome::NothingSent);
        return;
    }
    // The start command erases the flash, so the whole image is read and checked before it; the
    // lines read here are the ones sent, whatever happens to the file on disk meanwhile.
    QList<QByteArray> lines;
    QString problem;
    if (!ReadImageFile(fileName, lines, problem)) {
        c_.boxes.MsgBox(QStringLiteral("Die Datei \"%1\" kann nicht gelesen werden: %2")
                            .arg(QFileInfo(fileName).fileName(), problem),
                        MsgStyle::Critical, text(Texts::FileTitle));
        finish(RunOutcome::NothingSent);
        return;
    }
    problem = CheckImage(lines);
    if (!problem.isEmpty()) {
        c_.boxes.MsgBox(QStringLiteral("Die Datei \"%1\" ist fehlerhaft und wird nicht "
                                       "übertragen.\n%2")
                            .arg(QFileInfo(fileName).fileName(), problem),
                        MsgStyle::Critical, text(Texts::FileTitle));
        finish(RunOutcome::NothingSent);
        return;
    }

    // Frame 0 is the start, 1 to n the blocks, n + 1 the end; n + 2 stands for the quiet that
    // must follow the end's reply.
    const QList<PlannedBlock> blocks = PlanBlocks(lines);
    const int end = int(blocks.size()) + 1;
    auto loadBlock = [&](int k) {
        st_.BlockAddress = blocks[k - 1].address;
        st_.BlockData = blocks[k - 1].data;
        st_.BlockSum = blocks[k - 1].sum;
    };
    QList<std::chrono::nanoseconds> lineTimes;
    for (qsizetype size : PlannedFrameSizes(blocks))
        lineTimes.append(LineTime(size, LineSettings));
    const auto replyTime = LineTime(Frames::ReplyBytes, LineSettings);

    c_.module.beginRun();
    LineCount = 0;
    LineTotal = int(lines.size());
    int furthest = -1, repairs = 0;
    bool endWentOut = false, confirmedSinceDoubt = true;
    for (int k = 0; k <= end + 1;) {
        if (c_.front.stopRequested()) {
            finish(RunOutcome::Interrupted);
            return;
        }
        if (k == 0) {
            c_.module.SendCommand(Command::Start);
        } else if (k <= end) {
            advanceProgress(k < end ? blocks[k - 1].line : int(lines.size()));
            if (k < end) loadBlock(k);
            const int sentBefore = c_.module.framesSent();
            c_.module.SendCommand(k < end ? Command::Data : Command::End);
            endWentOut = endWentOut || (k == end && c_.module.framesSent() > sentBefore);
        } else {
            // The end is confirmed only when its reply was the last thing the instrument said.
            st_.LastOutcome = c_.module.LineStaysQuiet() ? CommandOutcome::Accepted
                              : c_.Comm1.PortOpen()      ? CommandOutcome::Doubt
                                                         : CommandOutcome::GivenUp;
        }

        // Once the end has gone out after every block was confirmed, and nothing has been erased
        // since, a run that cannot go on may well have left the instrument complete; it says
        // only that this could not be confirmed.
        auto failed = [&] {
            if (endWentOut)
                finish(RunOutcome::Unconfirmed, Texts::Unconfirmed);
            else
                finish(RunOutcome::Aborted, Texts::Aborted); // the instrument may be erased
        };
        if (st_.LastOutcome == CommandOutcome::PortLost) {
            // The frame in flight may or may not have arrived; it goes out again. After the end
            // reply, what the line said while the port was gone is unknown: that is a doubt.
            if (!portRegained())
                st_.LastOutcome = CommandOutcome::GivenUp;
            else if (k <= end)
                continue;
            else
                st_.LastOutcome = CommandOutcome::Doubt;
        }
        if (st_.LastOutcome == CommandOutcome::Doubt) {
            // Sent again silently, as a first resend is; a line that keeps casting doubt is put
            // to the user like a transmission error.
            if (++repairs > SilentRepairs) {
                if (c_.boxes.MsgBox(text(Texts::TransmissionError), MsgStyle::CriticalRetry,
                                    text(Texts::ErrorTitle)) == MsgAnswer::Cancel) {
                    failed();
                    return;
                }
                repairs = 0;
            }
            // Once the end has gone out the instrument may have left programming: what it holds
            // can only be rebuilt from the erase on. Without a confirmation since the last doubt
            // there is nothing new to doubt: the frame is simply sent again.
            if (endWentOut)
                k = 0;
            else if (confirmedSinceDoubt)
                k = ResumeAfterDoubt(lineTimes, k, replyTime);
            endWentOut = confirmedSinceDoubt = false;
            continue;
        }
        if (st_.LastOutcome == CommandOutcome::GivenUp && furthest < 0) {
            finish(RunOutcome::StartGivenUp);
            return;
        }
        if (st_.LastOutcome != CommandOutcome::Accepted) {
            failed();
            return;
        }
        if (k > furthest) {
            furthest = k;
            repairs = 0;
        }
        confirmedSinceDoubt = true;
        ++k;
    }
    finish(RunOutcome::Completed);
}

bool ProgrammingRun::portRegained() {
    const QString port = c_.Comm1.portLabel();
    QString message = QStringLiteral("Die Verbindung über %1 ist unterbrochen: %2 (%3)\n"
                                     "Wiederholen öffnet die Schnittstelle erneut.")
                          .arg(port, c_.Comm1.failure(), c_.Comm1.deviceName());
    for (;;) {
        if (c_.boxes.MsgBox(message, MsgStyle::CriticalRetry, text(Texts::ErrorTitle)) ==
            MsgAnswer::Cancel)
            return false;
        if (c_.Comm1.setPortOpen(true)) {
            c_.module.portReopened();
            return true;
        }
        message = QStringLiteral("%1 kann nicht wieder geöffnet werden: %2 (%3)")
                      .arg(port, c_.Comm1.openError(), c_.Comm1.deviceName());
    }
}

// The bar follows the image line by line up to the record that closed the next block.
void ProgrammingRun::advanceProgress(int toLine) {
    while (LineCount < toLine) {
        c_.front.progress(++LineCount, LineTotal);
        // Keeps the window painted and the animations going through a long stretch of lines.
        QCoreApplication::processEvents();
    }
}

// The front shows the outcome, a box says what went wrong, and the port is let go.
void ProgrammingRun::finish(RunOutcome outcome, const char *message) {
    outcome_ = outcome;
    c_.front.ended(outcome);
    if (message) c_.boxes.MsgBox(text(message), MsgStyle::Critical, text(Texts::ErrorTitle));
    c_.front.portHeld(false);
    c_.Comm1.setPortOpen(false);
    c_.front.progress(0, LineTotal);
}
