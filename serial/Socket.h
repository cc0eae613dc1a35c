#pragma once
// The calls of a TCP connection to a serial device server: the one place where POSIX sockets and
// Winsock differ. A socket stays non-blocking; what fails says why in German.

#include <QString>
#include <QtGlobal>
#include <chrono>

namespace tcp {

using Socket = qintptr;
constexpr Socket None = -1;

// Connects to host:port within `within`, both ways at once (TCP_NODELAY); None and `why` where it
// does not.
Socket Connect(const QString &host, quint16 port, std::chrono::milliseconds within, QString &why);
// Reads what is there now: the bytes read, 0 when the server closed the connection, -1 when
// nothing is there now, -2 when the connection failed (`why` says why).
qsizetype Receive(Socket s, char *buffer, qsizetype size, QString &why);
// Writes what the connection takes now: the bytes taken (0 or more), or -2 when it failed.
qsizetype Send(Socket s, const char *bytes, qsizetype size, QString &why);
// Waits until there is something to read, at most `within`; false when nothing came.
bool WaitReadable(Socket s, std::chrono::milliseconds within);
// Every segment received is acknowledged at once, where the system can be told so.
void AcknowledgeAtOnce(Socket s);
void Close(Socket s);

} // namespace tcp
