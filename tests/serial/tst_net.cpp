// A port behind a serial device server, against a server of the test's own that records what
// goes over the connection and answers as told: the Telnet and RFC 2217 negotiation itself, FF
// doubled and taken out again, a server that does not take the line's settings, a line error it
// reports, a connection that is lost.

#include "serial/NetComm.h"
#include "support/Loopback.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QByteArray Hello = QByteArray::fromHex("fffb00fffd00fffb2c");
// The client's settings as RFC 2217 writes them: 38400 baud, 8 bits, even parity, 1 stop bit.
const QByteArray Settings = QByteArray::fromHex("fffa2c0100009600fff0"
                                                "fffa2c0208fff0"
                                                "fffa2c0303fff0"
                                                "fffa2c0401fff0");
const QByteArray Purge = QByteArray::fromHex("fffa2c0c03fff0");

// Answers a client's settings with what it is told (server's codes are the client's plus 100),
// then sends what it is told, and keeps all it receives.
struct Server {
    explicit Server(QByteArray answer, bool closeAfter = false) : answer_(std::move(answer)) {
        const Loopback server(1);
        listen_ = server.fd;
        port = server.port();
        thread_ = std::thread([this, closeAfter] {
            const int fd = ::accept(listen_, nullptr, nullptr);
            char buf[512];
            bool answered = false;
            for (ssize_t got; (got = ::read(fd, buf, sizeof buf)) > 0;) {
                std::lock_guard lock(mutex_);
                received_.append(buf, got);
                if (!answered && received_.contains(Purge)) {
                    answered = true;
                    if (::write(fd, answer_.constData(), size_t(answer_.size())) < 0) break;
                    if (closeAfter) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                        break;
                    }
                }
            }
            ::close(fd);
        });
    }
    ~Server() {
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        thread_.join();
    }
    QByteArray received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    quint16 port = 0;

private:
    QByteArray answer_;
    int listen_;
    std::thread thread_;
    std::mutex mutex_;
    QByteArray received_;
};

QByteArray agreed(char parity = 3) {
    return QByteArray::fromHex("fffb00fffd00fffd2c") +
           QByteArray::fromHex("fffa2c6500009600fff0fffa2c6608fff0fffa2c67") + parity +
           QByteArray::fromHex("fff0fffa2c6801fff0fffa2c7003fff0");
}

} // namespace

class TestNet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // What the client says before the start: BINARY both ways, the com port option, the line's
    // settings and a purge, once; a server that takes them is used, one that does not is
    // refused before anything is sent, in words that say what it did not take.
    void negotiation_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("refused"); // how the refusal reads; empty: opened
        QTest::newRow("agreed") << agreed() << "";
        QTest::newRow("no parity") << agreed(1) << "gerade Parität (er meldet keine Parität)";
        QTest::newRow("no binary") << agreed().mid(6) << "bestätigt die Einstellungen nicht";
    }
    void negotiation() {
        QFETCH(QByteArray, answer);
        QFETCH(QString, refused);
        Server server(answer);
        NetComm port;
        port.DevicePath = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port);
        port.Settings = QStringLiteral("38400,e,8,1");
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(port.setPortOpen(true), refused.isEmpty());
        QVERIFY2(port.openError().contains(refused), qPrintable(port.openError()));
        QVERIFY(clock.elapsed() < NetComm::SettingsTimeoutMs + 1000);
        QTest::qWait(50);
        const QByteArray said = server.received();
        QVERIFY(said.startsWith(Hello) && said.contains(Settings) && said.endsWith(Purge));
        QCOMPARE(said.count(Settings), 1);
        if (!refused.isEmpty()) return;
        port.Output(QByteArray::fromHex("68ff16"));
        QTRY_VERIFY(server.received().endsWith(QByteArray::fromHex("68ffff16")));
    }

    // What arrives is the line's bytes alone: FF doubled is one FF, commands and notifications go,
    // and a byte the server reports with a parity error is dropped, as the serial port drops it.
    void whatArrives() {
        Server server(agreed() + QByteArray::fromHex("10fafffffa16") + QByteArray::fromHex("fff1") +
                      QByteArray::fromHex("fffa2c6b00fff0") + QByteArray::fromHex("aa") +
                      QByteArray::fromHex("fffa2c6a04fff0") + QByteArray::fromHex("55"));
        NetComm port;
        port.DevicePath = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port);
        port.Settings = QStringLiteral("38400,e,8,1");
        QVERIFY(port.setPortOpen(true));
        QByteArray line;
        QTRY_VERIFY((line += port.DiscardInput()).size() >= 6);
        QCOMPARE(line, QByteArray::fromHex("10fafffa1655"));
    }

    // A connection refused, or lost mid-run, is a port lost: closed, with the system's reason.
    void connectionLost() {
        NetComm port;
        QSignalSpy failed(&port, &SerialComm::Failed);
        port.Settings = QStringLiteral("38400,e,8,1");
        {
            Server server(agreed(), true);
            port.DevicePath = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port);
            QVERIFY(port.setPortOpen(true));
            QTRY_COMPARE(failed.size(), 1);
        }
        QVERIFY(!port.PortOpen());
        QVERIFY(port.failure().contains("getrennt"));
        QVERIFY(!port.setPortOpen(true));
        QVERIFY2(port.openError().contains("abgelehnt"), qPrintable(port.openError()));
    }

    // A server that does not take the connection is given a few seconds, and named.
    void serverSilent() {
        const Loopback listening(0);
        // Its queue filled and nothing accepted: a further connection is not taken.
        QList<int> waiting;
        for (int i = 0; i < 3; ++i) {
            waiting << ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(waiting.last(), listening.addr(), sizeof listening.address);
        }
        NetComm port;
        port.DevicePath = QStringLiteral("socket://127.0.0.1:%1").arg(listening.port());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!port.setPortOpen(true));
        QVERIFY(clock.elapsed() >= NetComm::ConnectTimeoutMs - 100);
        QVERIFY2(
            port.openError().contains(
                QStringLiteral("der Server 127.0.0.1:%1 antwortet nicht").arg(listening.port())),
            qPrintable(port.openError()));
        for (int fd : waiting)
            ::close(fd);
        ::close(listening.fd);
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
