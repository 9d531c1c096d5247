// Rows of a QtTest data function read from a tab-separated table beside the test.
#pragma once

#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <array>

// Adds the rows of the table `name` (in NEWSBAR_TEST_DIR) whose first field is `kind`: the
// second field names the row, the others are the given columns, which the test function reads
// with tableRow. Lines starting with '#' are notes; "\xNN" in a field stands for the character NN.
inline void addTableRows(const char* name, const char* kind, std::initializer_list<const char*> columns)
{
    QTest::addColumn<QStringList>("fields");
    QFile file(QStringLiteral(NEWSBAR_TEST_DIR "/") + QLatin1String(name));
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(file.fileName()));
    static const QRegularExpression escape(QStringLiteral("\\\\x([0-9a-fA-F]{2})"));
    int rows = 0;
    while (!file.atEnd()) {
        QStringList fields = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).split(QLatin1Char('\t'));
        if (fields.value(0) != QLatin1String(kind))
            continue;
        QVERIFY2(fields.size() == qsizetype(columns.size()) + 2, qPrintable(fields.join(QLatin1Char('|'))));
        QStringList row = fields.mid(2);
        for (QString& field : row) {
            for (QRegularExpressionMatch m; (m = escape.match(field)).hasMatch();)
                field.replace(m.capturedStart(), 4, QChar(m.captured(1).toInt(nullptr, 16)));
        }
        QTest::newRow(fields.at(1).toUtf8().constData()) << row;
        ++rows;
    }
    QVERIFY2(rows > 0, kind);
}

// The columns of the current row, in their order: const auto [a, b] = tableRow<2>();
template <std::size_t N>
std::array<QString, N> tableRow()
{
    QFETCH(QStringList, fields);
    std::array<QString, N> row;
    for (std::size_t i = 0; i < N; ++i)
        row[i] = fields.value(qsizetype(i));
    return row;
}
