#pragma once
// The record of a run that a station keeps: one JSON object per instrument and run, appended to
// the log file in one write, so that runs on one station at once never interleave.

#include <QJsonObject>
#include <QString>

// Now, ISO 8601 with the zone: 2026-12-07T19:50:28.123+01:00.
QString TimeStamp();
// Appends the record as one line; false when it could not be written.
bool AppendRecord(const QString &path, const QJsonObject &record);
// Appends the line in one write to the end of the file, wherever other processes have put the
// end meanwhile, creating the file where there is none.
bool AppendLine(const QString &path, const QByteArray &line);
