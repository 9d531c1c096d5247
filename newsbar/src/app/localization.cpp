#include "localization.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

QString localizedString(const char* id)
{
    const QString text = qtTrId(id);
    // Without a translation qtTrId answers with the id itself.
    return text == QLatin1String(id) ? QString() : text;
}

QString localizedString(const char* id, const QString& fallback)
{
    const QString text = localizedString(id);
    return text.isEmpty() ? fallback : text;
}

void installTranslations()
{
    QCoreApplication* app = QCoreApplication::instance();
    auto* english = new QTranslator(app);
    if (english->load(QStringLiteral(":/newsbar/i18n/newsbar_en.qm")))
        QCoreApplication::installTranslator(english);
    auto* local = new QTranslator(app);
    if (local->load(QLocale(), QStringLiteral("newsbar"), QStringLiteral("_"),
                    QStringLiteral(":/newsbar/i18n"))
        && local->language() != QLatin1String("en"))
        QCoreApplication::installTranslator(local);
}
