#include "status/StatusRow.h"

static void initPictures() {
    // The pictures live in a static library: make sure its resources are registered.
    static const bool done = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(done);
}

namespace ImageList1 {
QPixmap Picture(int number) {
    initPictures();
    return QPixmap(QStringLiteral(":/pictures/%1.xpm").arg(number));
}
} // namespace ImageList1

QPixmap EyesPicture() {
    initPictures();
    return QPixmap(QStringLiteral(":/pictures/eyes.xpm"));
}

QPixmap BannerPicture() {
    initPictures();
    return QPixmap(QStringLiteral(":/pictures/banner.xpm"));
}

void PictureBox::setPicture(int number) {
    picture_ = number;
    setPixmap(ImageList1::Picture(number));
}

void StatusRow::Timer3_Timer() {
    switch (st_.AnimationStep) {
    case 1:
        Image2->setVisible(false);
        Image3->setVisible(false);
        Image4->setVisible(false);
        st_.AnimationStep = 2;
        break;
    case 2:
        Image2->setVisible(true);
        Image3->setVisible(false);
        Image4->setVisible(false);
        st_.AnimationStep = 3;
        break;
    case 3:
        Image2->setVisible(true);
        Image3->setVisible(true);
        Image4->setVisible(false);
        st_.AnimationStep = 4;
        break;
    case 4:
        Image2->setVisible(true);
        Image3->setVisible(true);
        Image4->setVisible(true);
        st_.AnimationStep = 1;
        break;
    default:
        st_.AnimationStep = 1;
    }
}

void StatusRow::Timer2_Timer() {
    Image2->setVisible(true);
    Image3->setVisible(true);
    Image4->setVisible(true);
    const int step = st_.AnimationStep;
    if (step < 1 || step > 4) {
        st_.AnimationStep = 1;
        return;
    }
    // The packet travels from the PC's side (step 2) to the instrument's side (step 4).
    Image2->setPicture(step == 2 ? ImageList1::CablePacket : ImageList1::CableIdle);
    Image3->setPicture(step == 3 ? ImageList1::CablePacket : ImageList1::CableIdle);
    Image4->setPicture(step == 4 ? ImageList1::CablePacket : ImageList1::CableIdle);
    st_.AnimationStep = step == 4 ? 1 : step + 1;
}

void StatusRow::showNoReply() {
    Image3->setPicture(ImageList1::CableBroken);
    Image2->setVisible(true);
    Image3->setVisible(true);
    Image4->setVisible(false);
    Image6->setVisible(true);
}

void StatusRow::clearNoReply() {
    Image3->setPicture(ImageList1::CableIdle);
    Image2->setVisible(false);
    Image3->setVisible(false);
    Image4->setVisible(false);
    Image6->setVisible(false);
}

void StatusRow::hideCable() {
    Image2->setVisible(false);
    Image3->setVisible(false);
    Image4->setVisible(false);
}

void StatusRow::showFinished() {
    idleCable();
    Image5->setPicture(ImageList1::InstrumentLit);
}

void StatusRow::showErasing() {
    Image5->setPicture(ImageList1::Instrument);
}

void StatusRow::showAborted() {
    idleCable();
    hideCable();
    showErasing();
}

void StatusRow::idleCable() {
    Image2->setPicture(ImageList1::CableIdle);
    Image3->setPicture(ImageList1::CableIdle);
    Image4->setPicture(ImageList1::CableIdle);
}
