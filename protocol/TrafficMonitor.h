#pragma once
// The traffic monitor as the protocol sees it: the switch chkSSTest and the boxes Text1 (payload
// sent) and Text2 (reply received). The main window provides it.

#include <QString>
#include <QtGlobal>

class TrafficMonitor {
public:
    TrafficMonitor() = default;
    virtual ~TrafficMonitor() = default;
    Q_DISABLE_COPY_MOVE(TrafficMonitor)
    virtual bool monitorOn() const = 0;
    virtual void setSentText(const QString &text) = 0;
    virtual void setReplyText(const QString &text) = 0;
};
