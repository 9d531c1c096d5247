#pragma once
// Shared by the program's tests: a widget application on the offscreen platform, a pinned font
// (so that images do not follow the machine's settings) and records.

#include "feed/information.h"

#include <QApplication>
#include <QFontInfo>
#include <QStandardPaths>
#include <QtTest>

// True when the pinned font is installed and now the application font.
inline bool pinApplicationFont()
{
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));
    return QFontInfo(QApplication::font()).family() == QStringLiteral("DejaVu Sans");
}

inline Information makeInformation(const QString& title, const std::optional<QString>& category,
                                   const QString& link = QString())
{
    return Information(title, category, QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC),
                       link.isEmpty() ? std::nullopt : Url::fromString(link));
}

// Settings and caches go to QtTest's own places.
#define NEWSBAR_APP_TEST_MAIN(TestClass)                                                       \
    int main(int argc, char* argv[])                                                           \
    {                                                                                          \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                    \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                           \
        QStandardPaths::setTestModeEnabled(true);                                              \
        QApplication app(argc, argv);                                                          \
        pinApplicationFont();                                                                  \
        QCoreApplication::setOrganizationName(QStringLiteral("newsbar-tests"));                \
        QCoreApplication::setApplicationName(QStringLiteral(#TestClass));                      \
        TestClass test;                                                                        \
        return QTest::qExec(&test, argc, argv);                                                \
    }
