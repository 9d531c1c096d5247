#include "displayformat.h"

#include <QLocale>
#include <QRegularExpression>

QString withoutSeconds(QString format)
{
    // "HH:mm:ss", "h.mm.ss AP", "H時mm分ss秒": the seconds field with what leads into it
    // and any unit letter after it.
    static const QRegularExpression seconds(QStringLiteral("[^A-Za-z\\s']?s{1,2}(秒)?"));
    return format.remove(seconds);
}

QString shortDateTimeText(const QDateTime& dateTime)
{
    const QLocale locale;
    return locale.toString(dateTime.toLocalTime(),
                           withoutSeconds(locale.dateTimeFormat(QLocale::ShortFormat)));
}

QString shortTimeText(const QDateTime& dateTime)
{
    const QLocale locale;
    return locale.toString(dateTime.toLocalTime().time(),
                           withoutSeconds(locale.timeFormat(QLocale::ShortFormat)));
}

QString longDateTimeText(const QDateTime& dateTime)
{
    return QLocale().toString(dateTime.toLocalTime(), QLocale::LongFormat);
}
