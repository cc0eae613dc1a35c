// The status picture row: the two animations sharing one step counter. (The displays for no
// reply, a completed run and an aborted one are seen in the command and run tests.)

#include "status/StatusRow.h"

#include <QTest>
#include <memory>

namespace {

struct Row {
    TransferState st;
    std::unique_ptr<QWidget> parent = std::make_unique<QWidget>();
    PictureBox *img[5]; // Image2..Image6
    StatusRow row;
    Row()
        : img{box(), box(), box(), box(), box()}, row(st, img[0], img[1], img[2], img[3], img[4]) {
        parent->show();
        set(QStringLiteral("111"), QStringLiteral("hhh"));
        img[3]->setPicture(ImageList1::InstrumentLit);
    }
    PictureBox *box() { return new PictureBox(parent.get()); }
    // The cable segments: pictures ("121") and visibility ("vvh").
    QString state() const {
        QString p, v;
        for (int i = 0; i < 3; ++i) {
            p += QString::number(img[i]->picture());
            v += img[i]->isVisible() ? QLatin1Char('v') : QLatin1Char('h');
        }
        return p + QLatin1Char(' ') + v;
    }
    void set(const QString &pictures, const QString &visible) {
        for (int i = 0; i < 3; ++i) {
            img[i]->setPicture(pictures[i].digitValue());
            img[i]->setVisible(visible[i] == QLatin1Char('v'));
        }
    }
};

} // namespace

class TestStatus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Contact animation (Timer3): the cable grows from the PC, pictures untouched. Transfer
    // animation (Timer2): all shown, the packet travels towards the instrument. Both start from
    // pictures 626 with only the middle segment shown.
    void animations() {
        const QList<std::tuple<bool, int, QString, int>> ticks = {
            {false, 1, "626 hhh", 2}, {false, 2, "626 vhh", 3}, {false, 3, "626 vvh", 4},
            {false, 4, "626 vvv", 1}, {false, 0, "626 hvh", 1}, {false, 9, "626 hvh", 1},
            {true, 1, "111 vvv", 2},  {true, 2, "211 vvv", 3},  {true, 3, "121 vvv", 4},
            {true, 4, "112 vvv", 1},  {true, 0, "626 vvv", 1},  {true, 5, "626 vvv", 1}};
        for (const auto &[transfer, step, after, next] : ticks) {
            Row r;
            r.set(QStringLiteral("626"), QStringLiteral("hvh"));
            r.st.AnimationStep = step;
            transfer ? r.row.Timer2_Timer() : r.row.Timer3_Timer();
            QCOMPARE(r.state(), after);
            QCOMPARE(r.st.AnimationStep, next);
            QVERIFY(!r.img[0]->pixmap().isNull());
        }
    }
};

QTEST_MAIN(TestStatus)
#include "tst_status.moc"
