#include "transfer/ProgrammingRun.h"

#include "protocol/Module1.h"
#include "serial/SerialComm.h"
#include "shell/FileDialog.h"
#include "shell/MessageBox.h"
#include "status/StatusRow.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

namespace {
QString text(const char *s) {
    return QString::fromUtf8(s);
}
} // namespace

void ProgrammingRun::cmdLesen_Click() {
    if (busy_) return;
    busy_ = true;
    run();
    busy_ = false;
}

void ProgrammingRun::run() {
    auto sendBlock = [this] {
        c_.module.SendCommand(Command::Data);
        return st_.LastOutcome == CommandOutcome::Accepted;
    };
    BlockAssembly blocks(st_, sendBlock);
    blocks.Reset();

    for (int n = 1; n <= 8; ++n)
        if (c_.mnuComItems[n - 1]->isChecked()) c_.Comm1.CommPort = n;
    c_.Comm1.Settings = QString::fromLatin1(LineSettings);
    c_.Comm1.InputLen = 0;
    if (!c_.Comm1.setPortOpen(true)) {
        c_.boxes.MsgBox(QStringLiteral("Com%1 kann nicht geöffnet werden: %2 (%3)")
                            .arg(c_.Comm1.CommPort)
                            .arg(c_.Comm1.openError(), c_.Comm1.deviceName()),
                        MsgStyle::Critical, text(Texts::ErrorTitle));
        restore();
        return;
    }
    c_.Comm1.RThreshold = 1;
    c_.mnuCom->setEnabled(false);

    const QString fileName = c_.CD_01.FileName;
    if (fileName.isEmpty()) {
        c_.boxes.MsgBox(text(Texts::ChooseFile), MsgStyle::OkOnly, text(Texts::FileTitle));
        restore();
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
        restore();
        return;
    }
    problem = CheckImage(lines);
    if (!problem.isEmpty()) {
        c_.boxes.MsgBox(QStringLiteral("Die Datei \"%1\" ist fehlerhaft und wird nicht "
                                       "übertragen.\n%2")
                            .arg(QFileInfo(fileName).fileName(), problem),
                        MsgStyle::Critical, text(Texts::FileTitle));
        restore();
        return;
    }

    c_.module.SendCommand(Command::Start);
    if (st_.LastOutcome == CommandOutcome::GivenUp) {
        c_.Timer3.stop();
        c_.pictures.hideCable();
        restore();
        return;
    }
    if (st_.LastOutcome != CommandOutcome::Accepted) {
        abort(); // the instrument may already be erased
        return;
    }
    c_.pictures.showErasing();
    c_.cmdEnd->setEnabled(false);

    HexDecoder decoder;
    st_.RecordAddress = 0;
    const int LineTotal = int(lines.size());
    c_.PBLesen->setMaximum(ProgressMaximum(LineTotal));
    int LineCount = 0;

    for (const QByteArray &line : lines) {
        if (!c_.Timer2.isActive()) c_.Timer2.start();
        ++LineCount;
        c_.PBLesen->setValue(LineCount);
        int RecordLength = 0;
        if (decoder.DecodeLine(line, st_, RecordLength) != RecordKind::Data) continue;
        // Keeps the window painted and the animations going while a large image is decoded.
        QCoreApplication::processEvents();
        if (!blocks.AddRecord(RecordLength)) {
            abort();
            return;
        }
    }
    if (!blocks.Finish()) {
        abort();
        return;
    }
    c_.module.SendCommand(Command::End);
    // The end is confirmed only when its reply was the last thing the instrument said.
    if (st_.LastOutcome != CommandOutcome::Accepted || !c_.module.LineStaysQuiet()) {
        abort();
        return;
    }
    c_.Timer2.stop();
    c_.pictures.showFinished();
    restore();
}

// The instrument holds part of an image at best: say so, and never show the finished picture.
void ProgrammingRun::abort() {
    c_.Timer2.stop();
    c_.Timer3.stop();
    c_.pictures.showAborted();
    c_.boxes.MsgBox(text(Texts::Aborted), MsgStyle::Critical, text(Texts::ErrorTitle));
    restore();
}

void ProgrammingRun::restore() {
    c_.mnuCom->setEnabled(true);
    c_.Comm1.setPortOpen(false);
    c_.PBLesen->setValue(c_.PBLesen->minimum());
    c_.cmdEnd->setEnabled(true);
}
