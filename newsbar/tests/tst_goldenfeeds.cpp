// Golden feeds: the parse mode on every feeds/*.xml must print exactly the .expected dump and log
// what the .log file lists (one expected line each), and nothing else. A feed with a .log and an
// empty dump is a refused one: exit status 1; otherwise 0 (a .log beside records: items dropped).
// Run in process, in UTC+09:00.
// NEWSBAR_UPDATE_GOLDEN=1 in the environment rewrites the .expected dumps instead of comparing.
#include "feed/parsemode.h"
#include "tabletest.h"

#include <QDir>
#include <QTest>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList* capturedLog = nullptr;

void captureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (capturedLog)
        capturedLog->append(message);
}

// runParseMode in this process; err receives its own lines and every log message.
int runParseInProcess(const QString& path, QByteArray& out, QByteArray& err)
{
    QString outText, errText;
    QTextStream outStream(&outText), errStream(&errText);
    QStringList log;
    capturedLog = &log;
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    const int status = runParseMode(path, outStream, errStream);
    qInstallMessageHandler(previous);
    capturedLog = nullptr;
    for (const QString& line : log)
        errText += line + u'\n';
    out = outText.toUtf8();
    err = errText.toUtf8();
    return status;
}

} // namespace

class TestGoldenFeeds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // The dumps are written in UTC+09:00 and the messages in English, however the test is run.
        qputenv("TZ", "Asia/Tokyo");
        qputenv("LC_ALL", "C.UTF-8");
    }

    void golden_data()
    {
        QTest::addColumn<QString>("feed");
        const QDir feeds(QStringLiteral(NEWSBAR_FEEDS_DIR));
        const QStringList names = feeds.entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name);
        QVERIFY(names.size() >= 10);
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << feeds.filePath(name);
    }
    void golden()
    {
        QFETCH(QString, feed);
        const QString base = feed.chopped(4);
        QVERIFY2(QFile::exists(base + ".expected"), "every golden feed needs its .expected dump");
        QByteArray out, err;
        const QByteArray log = readFile(base + ".log").trimmed();
        const int status = runParseInProcess(feed, out, err);
        if (qEnvironmentVariableIsSet("NEWSBAR_UPDATE_GOLDEN")) {
            QFile dump(base + ".expected");
            QVERIFY(dump.open(QIODevice::WriteOnly) && dump.write(out) == out.size());
        }
        const QByteArray expected = readFile(base + ".expected");
        QCOMPARE(status, !log.isEmpty() && expected.isEmpty() ? 1 : 0);
        // As lines, so that a difference shows where it is.
        QCOMPARE(out.split('\n'), expected.split('\n'));
        QCOMPARE(err.count('\n'), log.isEmpty() ? 0 : log.count('\n') + 1);
        for (const QByteArray& line : log.split('\n'))
            QVERIFY2(err.contains(line), err.constData());
    }

    // Files that are no feed at all: a missing one and an endless one.
    void unreadable_data() { addTableRows("information_cases.tsv", "unreadable", {"path", "message"}); }
    void unreadable()
    {
        const auto [path, message] = tableRow<2>();
        QByteArray out, err;
        QCOMPARE(runParseInProcess(QDir(QStringLiteral(NEWSBAR_FEEDS_DIR)).filePath(path), out, err), 1);
        QVERIFY(out.isEmpty());
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.contains(message.toUtf8()), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestGoldenFeeds)
#include "tst_goldenfeeds.moc"
