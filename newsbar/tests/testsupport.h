#pragma once
// Helpers shared by the feed tests: a pinned time zone and a small HTTP server on 127.0.0.1.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QTcpSocket>

#include <ctime>

// Sets TZ for the lifetime of the object; the shared date formatter looks it up on every call.
class TimeZoneScope
{
public:
    explicit TimeZoneScope(const QByteArray& zone)
        : m_hadOld(qEnvironmentVariableIsSet("TZ")), m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~TimeZoneScope()
    {
        if (m_hadOld)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    bool m_hadOld;
    QByteArray m_old;
};

// Answers GET requests from a table of canned responses; unknown paths get 404. One request per
// connection, then the connection is closed.
class FeedServer : public QObject
{
public:
    struct Response
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/rss+xml; charset=utf-8";
        QList<QPair<QByteArray, QByteArray>> headers;
        bool sendContentLength = true;  // false: the body ends where the connection does
    };

    FeedServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &FeedServer::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    ~FeedServer() override
    {
        // Sockets still open would report their disconnection to a half-destroyed server.
        const auto sockets = m_server.findChildren<QTcpSocket*>();
        for (QTcpSocket* socket : sockets) {
            socket->disconnect(this);
            socket->abort();
        }
    }
    FeedServer(const FeedServer&) = delete;
    FeedServer& operator=(const FeedServer&) = delete;

    bool isListening() const { return m_server.isListening(); }
    QByteArray url(const QByteArray& path) const
    {
        return "http://127.0.0.1:" + QByteArray::number(m_server.serverPort()) + path;
    }
    void setResponse(const QByteArray& path, const Response& response)
    {
        m_responses.insert(path, response);
    }
    void setFeed(const QByteArray& path, const QByteArray& body)
    {
        Response response;
        response.body = body;
        setResponse(path, response);
    }
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
        const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
        m_pending.remove(socket);
        const QByteArray path = requestLine.value(1);
        ++m_counts[path];

        Response response;
        if (const auto it = m_responses.constFind(path); it != m_responses.cend()) {
            response = *it;
        } else {
            response.status = 404;
            response.contentType = "text/plain";
            response.body = "not found";
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\n"
                          "Content-Type: " + response.contentType + "\r\n"
                          "Connection: close\r\n";
        if (response.sendContentLength)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        socket->write(head + "\r\n" + response.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QByteArray, Response> m_responses;
    QHash<QByteArray, int> m_counts;
    QHash<QTcpSocket*, QByteArray> m_pending;
};
