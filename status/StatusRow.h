#pragma once
// The status picture row (PC, three cable segments, instrument, sleep mark), its picture store
// ImageList1 and the two animations that share AnimationStep.

#include "protocol/TransferState.h"

#include <QLabel>
#include <QPixmap>

namespace ImageList1 {
constexpr int CableIdle = 1;
constexpr int CablePacket = 2;
constexpr int Instrument = 3;
constexpr int PC = 4;
constexpr int InstrumentLit = 5;
constexpr int CableBroken = 6;
constexpr int Sleep = 7;
QPixmap Picture(int number); // 1..7
} // namespace ImageList1

// The other compiled-in pictures: the eyes of the monitor switch and the banner.
QPixmap EyesPicture();
QPixmap BannerPicture();

// A picture box that remembers which picture of ImageList1 it shows.
class PictureBox : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    void setPicture(int number);
    int picture() const { return picture_; }

private:
    int picture_ = 0;
};

class StatusRow {
public:
    StatusRow(TransferState &st, PictureBox *image2, PictureBox *image3, PictureBox *image4,
              PictureBox *image5, PictureBox *image6)
        : st_(st), Image2(image2), Image3(image3), Image4(image4), Image5(image5), Image6(image6) {}

    void Timer2_Timer(); // transfer animation
    void Timer3_Timer(); // contact animation

    // The instrument does not answer: broken cable and sleep mark while the box is open.
    void showNoReply();
    void clearNoReply();
    void hideCable();
    // After a completed run: idle segments and the lit instrument.
    void showFinished();
    // The flash is being erased: what an earlier run completed is gone.
    void showErasing();
    // A run that could not complete: cable idle and hidden, instrument unlit.
    void showAborted();

private:
    void idleCable();

    TransferState &st_;
    PictureBox *Image2, *Image3, *Image4, *Image5, *Image6;
};
