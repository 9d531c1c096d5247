#pragma once
// Helpers shared by the feed tests: a pinned time zone and a small HTTP server on 127.0.0.1.

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>

#include <ctime>

// Sets TZ for the lifetime of the object; the shared date formatter looks it up on every call.
class TimeZoneScope
{
public:
    explicit TimeZoneScope(const QByteArray& zone) : m_had(qEnvironmentVariableIsSet("TZ")), m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~TimeZoneScope()
    {
        m_had ? qputenv("TZ", m_old) : qunsetenv("TZ");
        tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    bool m_had;
    QByteArray m_old;
};

// Answers each GET from a table of canned responses (404 for unknown paths), then closes.
class FeedServer : public QObject
{
public:
    struct Response
    {
        Response(int status = 200, QByteArray body = {}, QByteArray contentType = "application/rss+xml",
                 QByteArray extraHeaders = {}, bool sendContentLength = true)
            : status(status), body(std::move(body)), contentType(std::move(contentType)),
              extraHeaders(std::move(extraHeaders)), sendContentLength(sendContentLength)
        {
        }
        int status;
        QByteArray body;
        QByteArray contentType;
        QByteArray extraHeaders;  // complete "Name: value\r\n" lines
        bool sendContentLength;   // false: the body ends where the connection does
    };

    FeedServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &FeedServer::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    ~FeedServer() override
    {
        // Open sockets would report their disconnection to a half-destroyed server.
        for (QTcpSocket* socket : m_server.findChildren<QTcpSocket*>()) {
            socket->disconnect(this);
            socket->abort();
        }
    }

    QString url(const char* path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(QLatin1String(path));
    }
    void setResponse(const QByteArray& path, const Response& response) { m_responses.insert(path, response); }
    void setFeed(const QByteArray& path, const QByteArray& body) { setResponse(path, Response{200, body}); }
    int requestCount(const QByteArray& path) const { return m_counts.value(path); }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_pending.remove(socket);
                socket->deleteLater();
            });
        }
    }

    void serve(QTcpSocket* socket)
    {
        QByteArray& request = m_pending[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.left(request.indexOf("\r\n")).split(' ').value(1);
        m_pending.remove(socket);
        ++m_counts[path];
        const Response response = m_responses.value(path, Response{404, "not found", "text/plain"});
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\nContent-Type: "
                        + response.contentType + "\r\nConnection: close\r\n" + response.extraHeaders;
        if (response.sendContentLength)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        socket->write(head + "\r\n" + response.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QByteArray, Response> m_responses;
    QHash<QByteArray, int> m_counts;
    QHash<QTcpSocket*, QByteArray> m_pending;
};
