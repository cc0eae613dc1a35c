#include "shell/frmQ7310Flasher.h"

#include "config/Settings.h"
#include "serial/ComPort.h"
#include "serial/PortInfo.h"
#include "serial/SerialComm.h"
#include "shell/FileDialog.h"
#include "shell/MessageBox.h"
#include "status/StatusRow.h"
#include "transfer/RunParts.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <cstdlib>

namespace {

void place(QWidget *w, int left, int top, int width, int height) {
    w->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
}

// One line of the etched separator under the menu bar.
QWidget *etchedLine(QWidget *parent, QColor colour, int x1, int y, int x2) {
    auto *line = new QWidget(parent);
    line->setAutoFillBackground(true);
    QPalette pal = line->palette();
    pal.setColor(QPalette::Window, colour);
    line->setPalette(pal);
    line->setGeometry(Twips(x1), Twips(y), Twips(x2 - x1), 1);
    return line;
}

PictureBox *pictureBox(QWidget *parent, const char *tip, int left, int top) {
    auto *box = new PictureBox(parent);
    box->setToolTip(QString::fromUtf8(tip));
    box->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(box, left, top, 615, 615);
    return box;
}

QLabel *panel(QStatusBar *bar, int widthTwips, int minTwips) {
    auto *label = new QLabel(bar);
    label->setMinimumWidth(Twips(minTwips));
    label->setFixedWidth(Twips(widthTwips));
    label->setFrameShape(QFrame::Panel);
    label->setFrameShadow(QFrame::Sunken);
    bar->addWidget(label);
    return label;
}

} // namespace

frmQ7310Flasher::frmQ7310Flasher(TransferState &st, Places places, Seams seams, QWidget *parent)
    : QMainWindow(parent), Timer1(seams.clock ? *seams.clock : RunClock::Real()),
      Timer2(Timer1.clock()), Timer3(Timer1.clock()),
      Comm1(seams.comm ? *seams.comm : *new ComPort(places.links)),
      CD_01(seams.fileDialog ? *seams.fileDialog : *new QtFileDialog(this)),
      Boxes(seams.boxes ? *seams.boxes : *new QtMessageBoxes(this)), st_(st),
      places_(std::move(places)), terminate_(std::move(seams.terminate)),
      systemPorts_(seams.systemPorts ? std::move(seams.systemPorts) : SystemPorts) {
    if (!seams.comm) ownComm_.reset(&Comm1);
    if (!seams.fileDialog) ownDialog_.reset(&CD_01);
    if (!seams.boxes) ownBoxes_.reset(&Boxes);
    // A new window starts with nothing selected, also when its dialog outlives an older window.
    CD_01.Filter.clear();
    CD_01.InitDir.clear();
    CD_01.FileName.clear();
    if (!terminate_) terminate_ = [] { std::_Exit(0); };

    createControls();

    Timer2.setInterval(200);
    Timer3.setInterval(200);
    pictures_ = std::make_unique<StatusRow>(st_, Image2, Image3, Image4, Image5, Image6);
    connect(&Timer2, &RunTimer::timeout, this, [this] { pictures_->Timer2_Timer(); });
    connect(&Timer3, &RunTimer::timeout, this, [this] { pictures_->Timer3_Timer(); });
    parts_ = std::make_unique<RunParts>(st_, Timer1, *this, *this, Boxes, &Comm1, places_.links,
                                        seams.lineSettings);
}

frmQ7310Flasher::~frmQ7310Flasher() {
    Comm1.setPortOpen(false);
    // The run and the protocol borrow the controls; let them go first.
    parts_.reset();
}

void frmQ7310Flasher::createControls() {
    setWindowTitle(QStringLiteral("Q7310Flasher"));
    setWindowIcon(ImageList1::Picture(ImageList1::Instrument));

    mnuHelp = menuBar()->addAction(QStringLiteral("&Help"));
    connect(mnuHelp, &QAction::triggered, this, &frmQ7310Flasher::mnuHelp_Click);
    mnuCom = menuBar()->addMenu(QStringLiteral("&Com"));
    for (int n = 1; n <= 8; ++n) {
        QAction *item = mnuCom->addAction(QStringLiteral("Com&%1").arg(n));
        item->setCheckable(true);
        connect(item, &QAction::triggered, this, [this, n] { mnuCom_Click(n); });
        mnuComItems[n - 1] = item;
    }
    // Each entry names the device it opens, worked out as the menu opens: an adapter plugged in
    // meanwhile shows up.
    mnuCom->setToolTipsVisible(true);
    connect(mnuCom, &QMenu::aboutToShow, this, [this] {
        const QList<PortFacts> ports = systemPorts_();
        for (int n = 1; n <= 8; ++n)
            mnuComItems[n - 1]->setToolTip(ComPortSummary(LookUpComPort(n, places_.links, ports)));
        listPortsAboveEight(ports);
    });

    auto *client = new QWidget(this);
    setCentralWidget(client);

    Line1_0 = etchedLine(client, QColor(128, 128, 128), -120, 0, 8000);
    Line1_1 = etchedLine(client, Qt::white, 0, 20, 8000);

    Image7 = new QLabel(client);
    Image7->setPixmap(BannerPicture());
    Image7->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Image7, -720, 240, 4020, 525);

    Image1 = pictureBox(client, "Blöder PC", 3720, 240);
    Image2 = pictureBox(client, "RS232 Strippe", 4200, 240);
    Image3 = pictureBox(client, "RS232 Strippe", 4680, 240);
    Image4 = pictureBox(client, "RS232 Strippe", 5160, 240);
    Image5 = pictureBox(client, "Sagenhafter Q7310", 5640, 240);
    Image6 = pictureBox(client, "Sagenhafter Q7310", 6120, 120);

    lblDatei = new QLabel(client);
    lblDatei->setToolTip(QStringLiteral("Zur Übertragung ausgewähltes Hex-File"));
    place(lblDatei, 300, 960, 4635, 255);

    PBLesen = new QProgressBar(client);
    PBLesen->setToolTip(QStringLiteral("Fortschritt"));
    PBLesen->setTextVisible(false);
    PBLesen->setRange(0, 100);
    PBLesen->setValue(0);
    place(PBLesen, 240, 1260, 6255, 255);

    cmdDatei = new QPushButton(QStringLiteral("Datei"), client);
    cmdDatei->setToolTip(QStringLiteral("Hex Datei für den Datentransfer öffnen"));
    place(cmdDatei, 240, 1620, 1275, 495);
    connect(cmdDatei, &QPushButton::clicked, this, &frmQ7310Flasher::cmdDatei_Click);

    cmdLesen = new QPushButton(QStringLiteral("Übertragen"), client);
    cmdLesen->setToolTip(QStringLiteral("Übertragung starten"));
    place(cmdLesen, 1620, 1620, 2772, 495);
    connect(cmdLesen, &QPushButton::clicked, this, &frmQ7310Flasher::cmdLesen_Click);

    cmdEnd = new QPushButton(QStringLiteral("Beenden"), client);
    cmdEnd->setToolTip(QStringLiteral("Programm beenden"));
    place(cmdEnd, 4500, 1620, 1395, 495);
    connect(cmdEnd, &QPushButton::clicked, this, &frmQ7310Flasher::cmdEnd_Click);

    chkSSTest = new QPushButton(client);
    chkSSTest->setCheckable(true);
    chkSSTest->setIcon(EyesPicture());
    chkSSTest->setIconSize(QSize(20, 20));
    chkSSTest->setToolTip(QStringLiteral("Schnittstelle mithören"));
    place(chkSSTest, 6000, 1620, 495, 495);
    // Every change of the switch counts, also one from the keyboard, assistive technology or
    // code, so the window always shows what the switch says.
    connect(chkSSTest, &QPushButton::toggled, this, &frmQ7310Flasher::chkSSTest_Click);

    Text1 = new QPlainTextEdit(client);
    Text1->setTabChangesFocus(true);
    Text1->setToolTip(QStringLiteral("Gesendete Daten"));
    place(Text1, 240, 2460, 6255, 2295);

    Text2 = new QLineEdit(client);
    Text2->setToolTip(QStringLiteral("Quittungsdaten vom Q7310"));
    place(Text2, 240, 4800, 6255, 375);

    StatusBar1 = statusBar();
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(Twips(375));
    Panels[0] = panel(StatusBar1, 1710, 1200);
    Panels[1] = panel(StatusBar1, 1710, 1200);
    Panels[2] = panel(StatusBar1, 1710, 1200);
    Panels[3] = panel(StatusBar1, 1510, 1000);
    // Panels 2 and 3 belong to the status bar itself: it keeps date and time current.
    auto *clock = new QTimer(StatusBar1);
    auto tick = [this] {
        const QDateTime now = QDateTime::currentDateTime();
        Panels[1]->setText(QLocale::system().toString(now.date(), QLocale::ShortFormat));
        Panels[2]->setText(QLocale::system().toString(now.time(), QLocale::ShortFormat));
    };
    connect(clock, &QTimer::timeout, StatusBar1, tick);
    clock->start(1000);
    tick();

    // Enter presses the focused button, as Space does.
    for (QPushButton *b : {cmdDatei, cmdLesen, cmdEnd, chkSSTest})
        b->setAutoDefault(true);

    QWidget::setTabOrder(cmdLesen, cmdDatei);
    QWidget::setTabOrder(cmdDatei, PBLesen);
    QWidget::setTabOrder(PBLesen, cmdEnd);
    QWidget::setTabOrder(cmdEnd, Text1);
    QWidget::setTabOrder(Text1, Text2);
    QWidget::setTabOrder(Text2, chkSSTest);
    QWidget::setTabOrder(chkSSTest, lblDatei);
    QWidget::setTabOrder(lblDatei, StatusBar1);
    cmdLesen->setFocus();

    resize(Twips(6735), height());
}

void frmQ7310Flasher::Form_Load() {
    Timer2.stop();
    Timer3.stop();
    setOuterHeight(LowHeight);
    Text1->setVisible(false);
    Text2->setVisible(false);
    showFileName(QStringLiteral("no File"));
    Timer1.stop();
    Image1->setPicture(ImageList1::PC);
    Image2->setPicture(ImageList1::CableIdle);
    Image3->setPicture(ImageList1::CableIdle);
    Image4->setPicture(ImageList1::CableIdle);
    Image5->setPicture(ImageList1::Instrument);
    Image6->setPicture(ImageList1::Sleep);
    Image6->setVisible(false);
    Image2->setVisible(false);
    Image3->setVisible(false);
    Image4->setVisible(false);
    mnuComItems[0]->setChecked(true);
    for (int n = 2; n <= 8; ++n)
        mnuComItems[n - 1]->setChecked(false);
    Panels[0]->setText(QStringLiteral("Version: %1.%2").arg(VersionMajor).arg(VersionMinor));
    Panels[3]->setText(QStringLiteral("Com1"));
    ReadLastHexFile(places_.settings, LastHexFile);
}

void frmQ7310Flasher::setOuterHeight(int twips) {
    outerTwips_ = twips;
    // The frame's own height is known only once the window has been framed, which a window
    // manager may do late; showEvent and moveEvent apply the height again then.
    decoration_ = frameGeometry().height() - geometry().height();
    resize(width(), Twips(twips) - decoration_);
}

int frmQ7310Flasher::chkSSTestValue() const {
    return chkSSTest->isChecked() ? 1 : 0;
}

ProgrammingRun &frmQ7310Flasher::run() {
    return parts_->run;
}

const ReplyJudge &frmQ7310Flasher::judge() const {
    return parts_->judge;
}

bool frmQ7310Flasher::runBusy() const {
    return parts_ && parts_->run.busy();
}

void frmQ7310Flasher::setSentText(const QString &text) {
    Text1->setPlainText(text);
}

void frmQ7310Flasher::setReplyText(const QString &text) {
    Text2->setText(text);
}

void frmQ7310Flasher::cmdDatei_Click() {
    // The dialog's loop would hold the run's reply wait, and its choice would show while the
    // old file is still being sent.
    if (runBusy()) return;
    CD_01.Filter = QStringLiteral("Hex-Files(*.a35)|*.a35");
    // A current choice stays the preset, so that Cancel keeps the firmware that will be sent.
    if (CD_01.FileName.isEmpty()) {
        if (LastHexFile.isEmpty())
            CD_01.InitDir = QStringLiteral("c:\\");
        else
            CD_01.FileName = LastHexFile;
    }
    CD_01.ShowOpen();
    chooseFile(CD_01.FileName);
}

void frmQ7310Flasher::chooseFile(const QString &path) {
    CD_01.FileName = path;
    if (CD_01.FileName.isEmpty()) {
        showFileName(QStringLiteral("No File"));
        return;
    }
    showFileName(CD_01.FileName);
    WriteLastHexFile(places_.settings, CD_01.FileName); // a failed write is not worth a message
}

void frmQ7310Flasher::showFileName(const QString &text) {
    fileLabel_ = text;
    // A long path gives way in the middle: its file's name stays to be seen, and the whole path
    // is in the tooltip.
    lblDatei->setText(lblDatei->fontMetrics().elidedText(text, Qt::ElideMiddle,
                                                         lblDatei->contentsRect().width()));
    const QString what = QStringLiteral("Zur Übertragung ausgewähltes Hex-File");
    lblDatei->setToolTip(CD_01.FileName.isEmpty() ? what : what + QStringLiteral(":\n") + text);
}

void frmQ7310Flasher::cmdLesen_Click() {
    if (runBusy()) return;
    int port = Comm1.CommPort; // kept when no entry is checked
    for (int n = 1; n <= 8; ++n)
        if (mnuComItems[n - 1]->isChecked()) port = n;
    for (auto [n, item] : mnuComMore.asKeyValueRange())
        if (item->isChecked()) port = n;
    parts_->run.Run(port, RunImage{CD_01.FileName, nullptr});
}

void frmQ7310Flasher::cmdEnd_Click() {
    // Ending a transfer half-way leaves the instrument without a program.
    if (runBusy()) return;
    Comm1.setPortOpen(false);
    terminate_();
}

void frmQ7310Flasher::contact(bool on) {
    on ? Timer3.start() : Timer3.stop();
}

void frmQ7310Flasher::noReply(bool shown) {
    shown ? pictures_->showNoReply() : pictures_->clearNoReply();
}

void frmQ7310Flasher::startSent() {
    pictures_->showErasing();
}

void frmQ7310Flasher::portHeld(bool held) {
    // What does nothing during a run looks so; the keyboard focus comes back where it was.
    if (held) focusBeforeRun_ = focusWidget();
    mnuCom->menuAction()->setEnabled(!held);
    for (QPushButton *b : {cmdLesen, cmdDatei, cmdEnd})
        b->setEnabled(!held);
    if (!held && focusBeforeRun_) focusBeforeRun_->setFocus();
}

void frmQ7310Flasher::progress(int line, int total) {
    if (line == 0) {
        PBLesen->setValue(PBLesen->minimum());
        return;
    }
    if (!Timer2.isActive()) Timer2.start();
    // Never a maximum of 0, which would make a busy bar.
    PBLesen->setMaximum(std::max(total, 1));
    PBLesen->setValue(line);
}

void frmQ7310Flasher::ended(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Completed:
        Timer2.stop();
        pictures_->showFinished();
        break;
    case RunOutcome::StartGivenUp:
        Timer3.stop();
        pictures_->hideCable();
        break;
    case RunOutcome::Aborted:
    case RunOutcome::Unconfirmed:
    case RunOutcome::TalksAfterEnd:
        Timer2.stop();
        Timer3.stop();
        pictures_->showAborted();
        break;
    default:
        break;
    }
}

void frmQ7310Flasher::chkSSTest_Click() {
    const bool on = chkSSTestValue() == 1;
    setOuterHeight(on ? HighHeight : LowHeight);
    Text1->setVisible(on);
    Text2->setVisible(on);
}

void frmQ7310Flasher::mnuCom_Click(int n) {
    if (n <= 8) mnuComItems[n - 1]->setChecked(true);
    if (QAction *more = mnuComMore.value(n)) more->setChecked(true);
    Panels[3]->setText(QStringLiteral("Com%1").arg(n));
    for (int other = 1; other <= 8; ++other)
        if (other != n) mnuComItems[other - 1]->setChecked(false);
    for (auto [other, item] : mnuComMore.asKeyValueRange())
        if (other != n) item->setChecked(false);
}

void frmQ7310Flasher::listPortsAboveEight(const QList<PortFacts> &ports) {
    QList<int> wanted = ComPortsAboveEight(ports);
    // The one chosen stays, also while its adapter is out.
    for (auto [n, item] : mnuComMore.asKeyValueRange())
        if (item->isChecked() && !wanted.contains(n)) wanted << n;
    std::sort(wanted.begin(), wanted.end());
    const QList<int> present = mnuComMore.keys();
    for (int n : present)
        if (!wanted.contains(n)) delete mnuComMore.take(n);
    // In order after Com8: each entry goes before the first one above it.
    for (int n : wanted) {
        QAction *item = mnuComMore.value(n);
        if (!item) {
            const auto above = mnuComMore.upperBound(n);
            item = new QAction(QStringLiteral("Com%1").arg(n), mnuCom);
            item->setCheckable(true);
            connect(item, &QAction::triggered, this, [this, n] { mnuCom_Click(n); });
            mnuCom->insertAction(above == mnuComMore.end() ? nullptr : above.value(), item);
            mnuComMore.insert(n, item);
        }
        item->setToolTip(ComPortSummary(LookUpComPort(n, places_.links, ports)));
    }
}

void frmQ7310Flasher::mnuHelp_Click() {
    emit helpRequested();
}

void frmQ7310Flasher::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    setOuterHeight(outerTwips_);
}

void frmQ7310Flasher::moveEvent(QMoveEvent *event) {
    QMainWindow::moveEvent(event);
    if (frameGeometry().height() - geometry().height() != decoration_) setOuterHeight(outerTwips_);
}

void frmQ7310Flasher::closeEvent(QCloseEvent *event) {
    // Ending a transfer half-way leaves the instrument without a program.
    if (runBusy()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
