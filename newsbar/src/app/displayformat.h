#pragma once

#include <QDateTime>
#include <QString>

// Dates and times as the window shows them, in the user's locale and time zone.

// The locale's short date and time without seconds ("2/12/26 2:02 PM", "02/12/2026 14:02").
QString shortDateTimeText(const QDateTime& dateTime);
// The locale's short time without seconds.
QString shortTimeText(const QDateTime& dateTime);
// The locale's long date and time, for tooltips.
QString longDateTimeText(const QDateTime& dateTime);

// A locale's format pattern without its seconds field and the separator before it.
QString withoutSeconds(QString format);
