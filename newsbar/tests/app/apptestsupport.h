#pragma once
// Helpers shared by the program's tests: an application under the offscreen platform with a
// pinned font, and records.

#include "feed/information.h"

#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QStandardPaths>
#include <QtTest>

// The family every drawing test uses, so that images do not follow the machine's settings.
inline const QString pinnedFontFamily = QStringLiteral("DejaVu Sans");

// True when the pinned font is installed and now the application font.
inline bool pinApplicationFont()
{
    QFont font(pinnedFontFamily);
    QApplication::setFont(font);
    return QFontInfo(QApplication::font()).family() == pinnedFontFamily;
}

inline Information makeInformation(const QString& title, const std::optional<QString>& category,
                                   const QString& link = QString())
{
    return Information(title, category,
                       QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC),
                       link.isEmpty() ? std::nullopt : Url::fromString(link));
}

// Runs a QtTest class in a widget application on the offscreen platform (unless the environment
// names another), with settings and caches in QtTest's own places.
#define NEWSBAR_APP_TEST_MAIN(TestClass)                                                       \
    int main(int argc, char* argv[])                                                           \
    {                                                                                          \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                    \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                           \
        QStandardPaths::setTestModeEnabled(true);                                              \
        QApplication app(argc, argv);                                                          \
        QCoreApplication::setOrganizationName(QStringLiteral("newsbar-tests"));                \
        QCoreApplication::setApplicationName(QStringLiteral(#TestClass));                      \
        TestClass test;                                                                        \
        return QTest::qExec(&test, argc, argv);                                                \
    }
