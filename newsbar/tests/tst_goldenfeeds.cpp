// Golden feeds: "newsbar --parse FILE" on every feeds/*.xml must print exactly the .expected dump
// and log what the .log file lists (one expected line each), and nothing else.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

namespace {

QProcessEnvironment pinnedEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", "Asia/Tokyo");
    environment.insert("LC_ALL", "C.UTF-8");
    environment.insert("LANG", "C.UTF-8");
    environment.remove("QT_LOGGING_RULES");
    return environment;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runParse(const QString& path)
{
    QProcess process;
    process.setProcessEnvironment(pinnedEnvironment());
    process.start(QStringLiteral(NEWSBAR_EXECUTABLE), {QStringLiteral("--parse"), path});
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

} // namespace

class TestGoldenFeeds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void golden_data();
    void golden();
    void unreadableFile();
};

void TestGoldenFeeds::golden_data()
{
    QTest::addColumn<QString>("feed");
    const QDir feeds(QStringLiteral(NEWSBAR_FEEDS_DIR));
    const QStringList names = feeds.entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name);
    QVERIFY(names.size() >= 10);
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << feeds.filePath(name);
}

void TestGoldenFeeds::golden()
{
    QFETCH(QString, feed);
    const QString base = feed.chopped(4);
    QVERIFY2(QFile::exists(base + ".expected"), "every golden feed needs its .expected dump");

    const Run run = runParse(feed);
    QCOMPARE(run.exitCode, 0);
    const QByteArray expected = readFile(base + ".expected");
    if (run.out != expected) {
        const QList<QByteArray> got = run.out.split('\n');
        const QList<QByteArray> want = expected.split('\n');
        for (qsizetype i = 0; i < qMax(got.size(), want.size()); ++i)
            QCOMPARE(got.value(i), want.value(i));
    }
    QCOMPARE(run.out, expected);

    const QByteArray expectedLog = readFile(base + ".log");
    if (expectedLog.isEmpty()) {
        QCOMPARE(run.err, QByteArray());
    } else {
        const QList<QByteArray> lines = expectedLog.trimmed().split('\n');
        QCOMPARE(run.err.count('\n'), lines.size());
        for (const QByteArray& line : lines)
            QVERIFY2(run.err.contains(line), run.err.constData());
    }
}

void TestGoldenFeeds::unreadableFile()
{
    const Run missing = runParse(QStringLiteral(NEWSBAR_FEEDS_DIR "/no-such-feed.xml"));
    QCOMPARE(missing.exitCode, 1);
    QVERIFY(missing.out.isEmpty());
    QVERIFY(missing.err.contains("no-such-feed.xml"));

    const Run directory = runParse(QStringLiteral(NEWSBAR_FEEDS_DIR));
    QCOMPARE(directory.exitCode, 1);
    QVERIFY(directory.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestGoldenFeeds)
#include "tst_goldenfeeds.moc"
