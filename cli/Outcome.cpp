#include "cli/Outcome.h"

int ExitCodeOf(RunOutcome outcome, bool startSent) {
    switch (outcome) {
    case RunOutcome::Completed:
        return ExitCode::Success;
    case RunOutcome::Interrupted:
        return ExitCode::Interrupted;
    case RunOutcome::None:
    case RunOutcome::NothingSent:
        return ExitCode::Untouched;
    case RunOutcome::StartGivenUp:
        // A start command that arrived erases even when its reply is lost on the way.
        return startSent ? ExitCode::Incomplete : ExitCode::Untouched;
    case RunOutcome::Aborted:
    case RunOutcome::Unconfirmed:
    case RunOutcome::TalksAfterEnd:
        break;
    }
    return ExitCode::Incomplete;
}

namespace {
int rank(int code) {
    switch (code) {
    case ExitCode::Success:
        return 0;
    case ExitCode::Untouched:
        return 1;
    case ExitCode::Usage:
        return 2;
    case ExitCode::Interrupted:
        return 3;
    default:
        return 4;
    }
}
} // namespace

int WorseExitCode(int a, int b) {
    return rank(b) > rank(a) ? b : a;
}

QString OutcomeName(int exitCode) {
    switch (exitCode) {
    case ExitCode::Success:
        return QStringLiteral("success");
    case ExitCode::Untouched:
        return QStringLiteral("untouched");
    case ExitCode::Usage:
        return QStringLiteral("usage");
    case ExitCode::Interrupted:
        return QStringLiteral("interrupted");
    default:
        return QStringLiteral("incomplete");
    }
}

QString OutcomeText(int exitCode, bool startSent) {
    const QString mayBe =
        QStringLiteral("die Firmware im Q7310 ist möglicherweise gelöscht oder unvollständig "
                       "und muss erneut übertragen werden");
    const QString asItWas = QStringLiteral("die Firmware im Q7310 ist unverändert");
    switch (exitCode) {
    case ExitCode::Success:
        return QStringLiteral("Übertragung abgeschlossen, vom Q7310 bestätigt");
    case ExitCode::Untouched:
        return QStringLiteral("nichts übertragen, ") + asItWas;
    case ExitCode::Interrupted:
        return QStringLiteral("unterbrochen, ") + (startSent ? mayBe : asItWas);
    default:
        return QStringLiteral("fehlgeschlagen, ") + mayBe;
    }
}

QString ReasonName(RunReason reason) {
    switch (reason) {
    case RunReason::None:
        break;
    case RunReason::NoFile:
    case RunReason::ImageUnreadable:
        return QStringLiteral("image-unreadable");
    case RunReason::ImageInvalid:
        return QStringLiteral("image-invalid");
    case RunReason::PortUnavailable:
        return QStringLiteral("port-unavailable");
    case RunReason::PortBusy:
        return QStringLiteral("port-busy");
    case RunReason::Permission:
        return QStringLiteral("permission");
    case RunReason::NoReply:
        return QStringLiteral("no-reply");
    case RunReason::Refused:
        return QStringLiteral("refused");
    case RunReason::FlashError:
        return QStringLiteral("flash-error");
    case RunReason::PortLost:
        return QStringLiteral("port-lost");
    case RunReason::Doubt:
        return QStringLiteral("doubt");
    case RunReason::UnconfirmedEnd:
        return QStringLiteral("unconfirmed-end");
    case RunReason::TalksAfterEnd:
        return QStringLiteral("talks-after-end");
    case RunReason::Bound:
        return QStringLiteral("bound");
    case RunReason::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}
