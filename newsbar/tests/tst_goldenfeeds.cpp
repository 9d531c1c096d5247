// Golden feeds: "newsbar --parse FILE" on every feeds/*.xml must print exactly the .expected dump
// and log what the .log file lists (one expected line each), and nothing else.
#include <QDir>
#include <QProcess>
#include <QTest>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The parse mode in UTC+09:00; -1 after a crash or a time-out.
int runParse(const QString& path, QByteArray& out, QByteArray& err)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", "Asia/Tokyo");
    environment.insert("LC_ALL", "C.UTF-8");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(NEWSBAR_EXECUTABLE), {QStringLiteral("--parse"), path});
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    out = process.readAllStandardOutput();
    err = process.readAllStandardError();
    return process.exitCode();
}

} // namespace

class TestGoldenFeeds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
        QCOMPARE(runParse(feed, out, err), 0);
        // As lines, so that a difference shows where it is.
        QCOMPARE(out.split('\n'), readFile(base + ".expected").split('\n'));
        const QByteArray log = readFile(base + ".log").trimmed();
        QCOMPARE(err.count('\n'), log.isEmpty() ? 0 : log.count('\n') + 1);
        for (const QByteArray& line : log.split('\n'))
            QVERIFY2(err.contains(line), err.constData());
    }

    void unreadableFile()
    {
        QByteArray out, err;
        QCOMPARE(runParse(QStringLiteral(NEWSBAR_FEEDS_DIR "/no-such-feed.xml"), out, err), 1);
        QVERIFY(out.isEmpty());
        QVERIFY2(err.contains("no-such-feed.xml"), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestGoldenFeeds)
#include "tst_goldenfeeds.moc"
