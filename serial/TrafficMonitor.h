#pragma once
// The traffic monitor as the protocol sees it: the switch chkSSTest and the boxes Text1 (payload
// sent) and Text2 (reply received). The main window provides it.

#include <QString>

class TrafficMonitor {
public:
    virtual ~TrafficMonitor() = default;
    virtual bool monitorOn() const = 0;
    virtual void setSentText(const QString &text) = 0;
    virtual void setReplyText(const QString &text) = 0;
};
