#include "cli/ImageInput.h"

#include "transfer/HexImage.h"

#include <QCryptographicHash>

QList<QByteArray> ImageInput::lines() const {
    return SplitLines(bytes);
}

QString ImageInput::sha256() const {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}
