#pragma once

#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

// The one date formatter of the process: locale "en_US_POSIX", pattern
// "EEE, dd MMM yyyy HH:mm:ss Z" (the RFC 822 date of RSS 2.0), strict reading, written in UTC
// or in the process's current time zone (the TZ variable or the system setting, looked up on
// every call, so a change of zone changes the text). It reads dates from feeds on the parse
// thread and writes dates into identifiers on the main thread; both may happen at the same time.
class DateFormatter
{
public:
    // Created on first use, once, and kept until the process ends.
    static DateFormatter& shared();

    // The instant the whole text names, or nothing when the text does not match the pattern.
    // Trailing characters (white space included) make it fail; leading white space is skipped.
    // Within the strict mode ICU still matches names without regard to case, accepts full names
    // ("Wednesday"), a short year taken literally ("15" is the year 15) and a weekday that
    // contradicts the date (the date wins), and takes "GMT", "GMT+09:00", "+09:00" or "Z" besides
    // the numeric offset; zone names such as "PST", a one-digit day and missing seconds fail.
    std::optional<QDateTime> dateFromString(const QString& text) const;

    enum class Zone { Current, Utc };
    // For example "Wed, 01 Apr 2015 09:00:00 +0900" in a process set to UTC+09:00, or
    // "Wed, 01 Apr 2015 00:00:00 +0000" in UTC. An invalid QDateTime gives an empty text.
    QString stringFromDate(const QDateTime& date, Zone zone = Zone::Current) const;

    DateFormatter(const DateFormatter&) = delete;
    DateFormatter& operator=(const DateFormatter&) = delete;
    ~DateFormatter();

private:
    DateFormatter();
    struct Private;
    std::unique_ptr<Private> d;
};
