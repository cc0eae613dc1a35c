#pragma once
// The open-file dialog CD_01: the program sets Filter, InitDir and FileName, calls ShowOpen and
// reads FileName. A test may put a scripted dialog in its place.

#include <QString>
#include <QtGlobal>

class QWidget;

class FileDialog {
public:
    FileDialog() = default;
    virtual ~FileDialog() = default;
    Q_DISABLE_COPY_MOVE(FileDialog)
    QString Filter;
    QString InitDir;
    QString FileName;
    // Modal; when the user confirms a file FileName holds its full path, otherwise it is kept.
    virtual void ShowOpen() = 0;
};

// "Desc|pattern|Desc|pattern" as Qt's file dialog wants it: one entry per pair.
QString QtFilterFromPairs(const QString &filter);

// The system's dialog: Qt's on Linux, Windows' own on Windows (Qt's would write the registry).
class QtFileDialog : public FileDialog {
public:
    explicit QtFileDialog(QWidget *parent) : parent_(parent) {}
    void ShowOpen() override;

private:
    QWidget *parent_;
};
