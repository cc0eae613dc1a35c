#include "protocol/Frames.h"

namespace {
void fillControlFrame(TransferState &st, int length, long payloadSum, const char *payload,
                      int payloadLen) {
    st.FrameLength = length;
    st.FrameByte2 = 105;
    st.FrameCommand = Frames::ControlCommand;
    st.PayloadSum = payloadSum;
    st.FramePayload = QByteArray(payload, payloadLen);
    st.FrameChecksum = int((st.FrameByte1 + st.FrameByte2 + st.FrameCommand + st.PayloadSum) % 256);
}
} // namespace

void BuildStartFrame(TransferState &st) {
    static const char payload[] = {'\xAA', '\x55', '\x80', '\xAA', '\x55', '\x30', '\xFF'};
    fillControlFrame(st, 10, 941, payload, sizeof payload);
}

void BuildEndFrame(TransferState &st) {
    static const char payload[] = {'\xAA', '\x55', '\x99'};
    fillControlFrame(st, 6, 408, payload, sizeof payload);
}

bool BuildDataFrame(TransferState &st) {
    const int n = int(st.BlockData.size());
    if (n > Frames::MaxBlockBytes || st.BlockAddress < 0 || st.BlockAddress > Frames::MaxAddress)
        return false;
    st.FrameLength = n + 7;
    st.FrameByte2 = 105;
    st.FrameCommand = Frames::DataCommand;
    st.AddressLow = int(st.BlockAddress & 0xFF);
    st.AddressMiddle = int((st.BlockAddress >> 8) & 0xFF);
    st.AddressHigh = int((st.BlockAddress >> 16) & 0xFF);
    // The checksum trusts BlockSum, exactly as the block assembly keeps it; it is not recomputed.
    st.PayloadSum = st.BlockSum + st.AddressLow + st.AddressMiddle + st.AddressHigh + n;
    QByteArray payload;
    payload.reserve(n + 4);
    payload.append(char(st.AddressLow));
    payload.append(char(st.AddressMiddle));
    payload.append(char(st.AddressHigh));
    payload.append(char(n));
    payload.append(st.BlockData);
    st.FramePayload = payload;
    st.FrameChecksum = int((st.FrameByte1 + st.FrameByte2 + st.FrameCommand + st.PayloadSum) % 256);
    return true;
}

QByteArray AssembleFrame(const TransferState &st) {
    QByteArray f;
    f.reserve(st.FramePayload.size() + 9);
    f.append(char(Frames::StartByte));
    f.append(char(st.FrameLength));
    f.append(char(st.FrameLength));
    f.append(char(Frames::StartByte));
    f.append(char(st.FrameByte1));
    f.append(char(st.FrameByte2));
    f.append(char(st.FrameCommand));
    f.append(st.FramePayload);
    f.append(char(st.FrameChecksum));
    f.append(char(Frames::StopByte));
    return f;
}

QString MonitorHex(const QByteArray &bytes, int breakEvery) {
    QString text;
    text.reserve(bytes.size() * 3 + (breakEvery > 0 ? bytes.size() / breakEvery * 2 : 0));
    for (int i = 1; i <= bytes.size(); ++i) {
        text += QString::number(quint8(bytes[i - 1]), 16).toUpper();
        text += QLatin1Char(' ');
        if (breakEvery > 0 && i % breakEvery == 0) text += QLatin1String("\r\n");
    }
    return text;
}

bool ReplyWellFormed(const QByteArray &reply) {
    return reply.size() == Frames::ReplyBytes && quint8(reply[0]) == 0x10 &&
           quint8(reply[4]) == Frames::StopByte && quint8(reply[1] + reply[2]) == quint8(reply[3]);
}
