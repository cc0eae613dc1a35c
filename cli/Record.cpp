#include "cli/Record.h"

#include <QDateTime>
#include <QJsonDocument>

QString TimeStamp() {
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc()); // so that the zone is written out
    return now.toString(Qt::ISODateWithMs);
}

bool AppendRecord(const QString &path, const QJsonObject &record) {
    return AppendLine(path, QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
}
