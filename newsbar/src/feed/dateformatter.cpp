#include "feed/dateformatter.h"

#include <QLoggingCategory>

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <mutex>

Q_LOGGING_CATEGORY(lcDates, "newsbar.feed.dates")

struct DateFormatter::Private
{
    // ICU formatters are not safe for concurrent use, and the zone is swapped on every call.
    std::mutex mutex;
    std::unique_ptr<icu::SimpleDateFormat> format;

    // Follows the zone the process is in now, not the one it started in.
    void adoptCurrentTimeZone() { format->adoptTimeZone(icu::TimeZone::detectHostTimeZone()); }
};

DateFormatter::DateFormatter() : d(std::make_unique<Private>())
{
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(
        icu::UnicodeString(u"EEE, dd MMM yyyy HH:mm:ss Z"), icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) {
        qCWarning(lcDates) << "Cannot create the date formatter:" << u_errorName(status);
        return;
    }
    format->setLenient(false);
    d->format = std::move(format);
}

DateFormatter::~DateFormatter() = default;

DateFormatter& DateFormatter::shared()
{
    // Never destroyed: the parse thread may still use it while static destructors run.
    static DateFormatter* const instance = new DateFormatter;
    return *instance;
}

std::optional<QDateTime> DateFormatter::dateFromString(const QString& text) const
{
    const icu::UnicodeString input(reinterpret_cast<const UChar*>(text.utf16()),
                                   static_cast<int32_t>(text.size()));
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->format)
        return std::nullopt;
    d->adoptCurrentTimeZone();
    icu::ParsePosition position(0);
    const UDate date = d->format->parse(input, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length())
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(date), Qt::UTC);
}

QString DateFormatter::stringFromDate(const QDateTime& date, Zone zone) const
{
    if (!date.isValid())
        return QString();
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->format)
        return QString();
    if (zone == Zone::Utc)
        d->format->adoptTimeZone(icu::TimeZone::getGMT()->clone());
    else
        d->adoptCurrentTimeZone();
    icu::UnicodeString output;
    d->format->format(static_cast<UDate>(date.toMSecsSinceEpoch()), output);
    return QString(reinterpret_cast<const QChar*>(output.getBuffer()), output.length());
}
