#include "shell/frmHelp.h"

#include "shell/frmQ7310Flasher.h"
#include "status/StatusRow.h"

#include <QLabel>
#include <QPushButton>

namespace {

const QFont &dialogFont() {
    static const QFont font = [] {
        // Where the old dialog font is missing, a face of the same narrow metrics keeps the texts
        // within their labels.
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Microsoft Sans Serif"),
                                    QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
        QFont f(QStringLiteral("MS Sans Serif"));
        f.setPointSizeF(8.25);
        f.setStretch(94); // the substitutes run a little wider than the bitmap original
        return f;
    }();
    return font;
}

QLabel *label(QWidget *parent, const QString &text, int left, int top, int width, int height) {
    auto *l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(true);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setFont(dialogFont());
    l->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
    return l;
}

QPushButton *button(QWidget *parent, const QString &caption, int left, int top, int width,
                    int height) {
    auto *b = new QPushButton(caption, parent);
    b->setFont(dialogFont());
    b->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
    return b;
}

QString blanks(int n) {
    return QString(n, QLatin1Char(' '));
}

} // namespace

frmHelp::frmHelp(QWidget *parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Hilfe"));
    setWindowIcon(ImageList1::Picture(ImageList1::Instrument));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(Twips(5550), Twips(6390));

    Label1 = label(this, QStringLiteral("Q7310 Flash-Programmierung"), 360, 120, 4815, 375);
    QFont heading(QStringLiteral("Arial"));
    heading.setPointSizeF(12);
    heading.setBold(true);
    Label1->setFont(heading);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

    Label2 = label(this,
                   QStringLiteral("Zum Beschreiben des Flash's im Q7310 muß der Programmiermode") +
                       blanks(8) +
                       QStringLiteral("angewählt werden. Dies erreicht man, indem beim "
                                      "Einschalten der") +
                       blanks(10) + QStringLiteral("Spannungversorgung") + blanks(2) +
                       QStringLiteral("die Bedientasten T1,T3,Tdown (siehe Bedienungsanleitung "
                                      "3.1) gleichzeitig gedrückt gehalten werden.") +
                       blanks(8) + QStringLiteral("Der Q7310 zeigt dann im Display die Meldung") +
                       blanks(4) + QStringLiteral("LOAdEPrOM"),
                   240, 780, 5055, 1215);

    Label7 = label(this, QStringLiteral("com"), 240, 2340, 555, 255);
    QFont com(QStringLiteral("MS Sans Serif"));
    com.setPointSizeF(9.75);
    Label7->setFont(com);
    Label4 =
        label(this, QStringLiteral("Schnittstelle Com1/Com2 auswählen"), 1560, 2340, 3735, 255);

    Command1 = button(this, QStringLiteral("Datei"), 240, 2820, 855, 375);
    Label3 = label(this,
                   QStringLiteral("Vor der Übertragung des Programms muß dieses geladen werden") +
                       blanks(6) + QStringLiteral("(q7310.a35)"),
                   1560, 2820, 3735, 495);
    Command2 = button(this, QStringLiteral("Übertragen"), 240, 3420, 1095, 375);
    Label6 = label(this, QStringLiteral("Die ausgewählte Datei wir an den Q7310 übertragen"), 1560,
                   3480, 3735, 255);
    Command3 = button(this, QStringLiteral("Beenden"), 240, 4020, 1095, 375);
    Label5 = label(this,
                   QStringLiteral("Programm beenden (eine laufende Übertragung darf nicht beendet "
                                  "werden, da sonst das Programm im Q7310 zerstört wird)"),
                   1560, 4020, 3735, 675);
    Label8 = label(this,
                   QStringLiteral("Die über Schnittstelle gesendeten Daten werden angezeigt.") +
                       blanks(62) + QStringLiteral("Oberer Kasten: Sendedaten PC") + blanks(25) +
                       QStringLiteral("Unterer Kasten: Empfangsdaten PC"),
                   1560, 4860, 3735, 855);
    Command5 = button(this, QString(), 240, 5100, 375, 375);
    Command5->setIcon(EyesPicture());
    Command5->setIconSize(QSize(20, 20));
    Command4 = button(this, QStringLiteral("Zurück zum Programm"), 240, 5880, 5055, 375);
    Command4->setAutoDefault(true); // Enter presses it, as Space does
    connect(Command4, &QPushButton::clicked, this, &frmHelp::Command4_Click);

    QWidget::setTabOrder(Command1, Command2);
    QWidget::setTabOrder(Command2, Command3);
    QWidget::setTabOrder(Command3, Command4);
    QWidget::setTabOrder(Command4, Command5);
    Command1->setFocus();
}

void frmHelp::Command4_Click() {
    close();
    emit backToProgram();
}
