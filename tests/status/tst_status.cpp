// The status picture row: the two animation tables sharing one step counter, and the error and
// end displays.

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
        for (PictureBox *b : img)
            b->setPicture(ImageList1::CableIdle);
        img[3]->setPicture(ImageList1::Instrument);
        img[4]->setPicture(ImageList1::Sleep);
    }
    PictureBox *box() { return new PictureBox(parent.get()); }
    // "vvh": visibility of the three cable segments
    QString visible() const {
        QString s;
        for (int i = 0; i < 3; ++i)
            s += img[i]->isVisible() ? QLatin1Char('v') : QLatin1Char('h');
        return s;
    }
    QString pictures() const {
        return QStringLiteral("%1%2%3")
            .arg(img[0]->picture())
            .arg(img[1]->picture())
            .arg(img[2]->picture());
    }
    void setVisible(const QString &v) {
        for (int i = 0; i < 3; ++i)
            img[i]->setVisible(v[i] == QLatin1Char('v'));
    }
};

} // namespace

class TestStatus : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void contactAnimation_data() {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("next");
        QTest::newRow("1") << 1 << "vvv"
                           << "hhh" << 2;
        QTest::newRow("2") << 2 << "hhh"
                           << "vhh" << 3;
        QTest::newRow("3") << 3 << "hhh"
                           << "vvh" << 4;
        QTest::newRow("4") << 4 << "hhh"
                           << "vvv" << 1;
        QTest::newRow("empty at start: only the step") << 0 << "vhv"
                                                       << "vhv" << 1;
        QTest::newRow("anything else") << 9 << "hvh"
                                       << "hvh" << 1;
    }
    void contactAnimation() {
        QFETCH(int, step);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(int, next);
        Row r;
        r.st.AnimationStep = step;
        r.setVisible(before);
        r.row.Timer3_Timer();
        QCOMPARE(r.visible(), after);
        QCOMPARE(r.st.AnimationStep, next);
        QCOMPARE(r.pictures(), QStringLiteral("111")); // pictures are not touched
    }

    void transferAnimation_data() {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("pictures");
        QTest::addColumn<int>("next");
        QTest::newRow("1: all idle") << 1 << "111" << 2;
        QTest::newRow("2: packet by the PC") << 2 << "211" << 3;
        QTest::newRow("3: packet in the middle") << 3 << "121" << 4;
        QTest::newRow("4: packet by the instrument") << 4 << "112" << 1;
        QTest::newRow("empty at start: shows, no pictures") << 0 << "626" << 1;
        QTest::newRow("anything else") << 5 << "626" << 1;
    }
    void transferAnimation() {
        QFETCH(int, step);
        QFETCH(QString, pictures);
        QFETCH(int, next);
        Row r;
        r.img[0]->setPicture(6);
        r.img[1]->setPicture(2);
        r.img[2]->setPicture(6);
        r.setVisible(QStringLiteral("hhh"));
        r.st.AnimationStep = step;
        r.row.Timer2_Timer();
        QCOMPARE(r.visible(), QStringLiteral("vvv"));
        QCOMPARE(r.pictures(), pictures);
        QCOMPARE(r.st.AnimationStep, next);
    }

    void animationsShareTheStep() {
        Row r;
        r.row.Timer3_Timer(); // 0 -> 1
        r.row.Timer3_Timer(); // 1 -> 2
        r.row.Timer3_Timer(); // 2 -> 3, first segment shown
        QCOMPARE(r.visible(), QStringLiteral("vhh"));
        r.row.Timer2_Timer(); // the transfer animation goes on from step 3
        QCOMPARE(r.pictures(), QStringLiteral("121"));
        QCOMPARE(r.st.AnimationStep, 4);
        r.row.Timer3_Timer(); // and the contact animation from where that left off
        QCOMPARE(r.visible(), QStringLiteral("vvv"));
        QCOMPARE(r.st.AnimationStep, 1);
    }

    void noReplyDisplay() {
        Row r;
        r.row.showNoReply();
        QCOMPARE(r.visible(), QStringLiteral("vvh"));
        QCOMPARE(r.img[1]->picture(), ImageList1::CableBroken);
        QVERIFY(r.img[4]->isVisible());
        r.row.clearNoReply();
        QCOMPARE(r.visible(), QStringLiteral("hhh"));
        QCOMPARE(r.img[1]->picture(), ImageList1::CableIdle);
        QVERIFY(!r.img[4]->isVisible());
        // A running transfer animation shows the cable again on its next tick.
        r.row.showNoReply();
        r.st.AnimationStep = 3;
        r.row.Timer2_Timer();
        QCOMPARE(r.visible(), QStringLiteral("vvv"));
        QCOMPARE(r.pictures(), QStringLiteral("121"));
    }

    void finishedDisplay() {
        Row r;
        r.img[0]->setPicture(ImageList1::CablePacket);
        r.setVisible(QStringLiteral("vvv"));
        r.row.showFinished();
        QCOMPARE(r.pictures(), QStringLiteral("111"));
        QCOMPARE(r.visible(), QStringLiteral("vvv")); // visibility stays as the last tick left it
        QCOMPARE(r.img[3]->picture(), ImageList1::InstrumentLit);
    }

    void picturesExist() {
        for (int n = 1; n <= 7; ++n) {
            const QPixmap p = ImageList1::Picture(n);
            QCOMPARE(p.size(), QSize(32, 32));
        }
        QCOMPARE(EyesPicture().size(), QSize(20, 20));
        QCOMPARE(BannerPicture().size(), QSize(268, 35));
        // The idle cable is a line across the whole width, so that segments join.
        const QImage idle = ImageList1::Picture(ImageList1::CableIdle).toImage();
        for (int x = 0; x < 32; ++x)
            QVERIFY(qAlpha(idle.pixel(x, 16)) == 255);
        QVERIFY(qAlpha(idle.pixel(0, 0)) == 0);
    }
};

QTEST_MAIN(TestStatus)
#include "tst_status.moc"
