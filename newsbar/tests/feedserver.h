// A local HTTP server that answers with canned responses, and the RSS documents the feed tests
// send through it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

// A complete HTTP response; without a length the body ends where the connection does.
inline QByteArray http(int status, const QByteArray& body, const QByteArray& headers = {}, bool sendLength = true)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\nConnection: close\r\n" + headers
         + (sendLength ? "Content-Length: " + QByteArray::number(body.size()) + "\r\n" : QByteArray()) + "\r\n" + body;
}

// Answers each GET with the response held for its path (404 for others), then closes; a path in
// trickled gets its response one byte every 100 ms.
struct FeedServer
{
    QTcpServer server;
    QHash<QByteArray, QByteArray> responses;
    QHash<QByteArray, int> requests;
    QHash<QByteArray, QByteArray> lastRequest;
    QSet<QByteArray> trickled;

    FeedServer()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray request = socket->peek(socket->bytesAvailable());
                    if (!request.contains("\r\n\r\n"))
                        return;
                    socket->readAll();
                    const QByteArray path = request.left(request.indexOf("\r\n")).split(' ').value(1);
                    ++requests[path];
                    lastRequest[path] = request;
                    const QByteArray response = responses.value(path, http(404, "not found"));
                    if (!trickled.contains(path)) {
                        socket->write(response);
                        socket->disconnectFromHost();
                        return;
                    }
                    auto* timer = new QTimer(socket);
                    QObject::connect(timer, &QTimer::timeout, socket, [socket, response, sent = 0]() mutable {
                        if (sent < response.size())
                            socket->write(response.mid(sent++, 1));
                    });
                    timer->start(100);
                });
            }
        });
        server.listen(QHostAddress::LocalHost, 0);
    }
    QUrl url(const QString& path = QStringLiteral("/feed.xml")) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path));
    }
    // The value of a header in the last request for the path (empty when absent).
    QByteArray sent(const QByteArray& header, const QByteArray& path = "/feed.xml") const
    {
        for (const QByteArray& line : lastRequest.value(path).split('\n')) {
            if (line.toLower().startsWith(header.toLower() + ':'))
                return line.mid(header.size() + 1).trimmed();
        }
        return {};
    }
};

// Items "Item first" ... "Item first+count-1"; the item numbered retitle has a corrected title.
inline QByteArray items(int first, int count, int retitle = 0)
{
    QByteArray xml;
    for (int n = first; n < first + count; ++n)
        xml += "<item><title>Item " + QByteArray::number(n) + (n == retitle ? " (corrected)" : "")
             + "</title><link>https://www.example.com/news/" + QByteArray::number(n) + "</link></item>\n";
    return xml;
}
inline QByteArray rss(const QByteArray& items) { return "<rss version=\"2.0\"><channel>" + items + "</channel></rss>"; }
inline QByteArray feed(int count, int first = 1) { return rss(items(first, count)); }
inline QByteArray padded(const QByteArray& xml, qint64 size) { return xml + QByteArray(size - xml.size(), ' '); }
