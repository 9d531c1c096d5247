#include "feed/information.h"

#include "feed/feedparser.h"

#include <QCryptographicHash>
#include <QHashFunctions>
#include <QSharedData>

class InformationData : public QSharedData
{
public:
    std::optional<QString> title;
    std::optional<QString> category;
    std::optional<QDateTime> date;
    std::optional<Url> link;
};

namespace {

std::optional<QDateTime> validDate(std::optional<QDateTime> date)
{
    if (date && !date->isValid())
        return std::nullopt;
    if (date)
        return date->toUTC();
    return date;
}

QString orNull(const std::optional<QString>& text)
{
    return text ? *text : QStringLiteral("(null)");
}

QString dateOrNull(const std::optional<QDateTime>& date,
                   DateFormatter::Zone zone = DateFormatter::Zone::Current)
{
    return date ? DateFormatter::shared().stringFromDate(*date, zone) : QStringLiteral("(null)");
}

QString linkOrNull(const std::optional<Url>& link)
{
    return link ? link->absoluteString() : QStringLiteral("(null)");
}

} // namespace

Information::Information() : d(new InformationData) {}

Information::Information(std::optional<QString> title, std::optional<QString> category,
                         std::optional<QDateTime> date, std::optional<Url> link)
    : d(new InformationData)
{
    setTitle(std::move(title));
    setCategory(std::move(category));
    setDate(std::move(date));
    setLink(std::move(link));
}

Information::Information(const Information&) = default;
Information::Information(Information&&) noexcept = default;
Information& Information::operator=(const Information&) = default;
Information& Information::operator=(Information&&) noexcept = default;
Information::~Information() = default;

Information Information::initWithDictionary(const QVariantMap& dictionary)
{
    const auto text = [&](const QString& key) -> std::optional<QString> {
        const QVariant value = dictionary.value(key);
        if (value.typeId() != QMetaType::QString)
            return std::nullopt;
        return value.toString();
    };
    std::optional<QDateTime> date;
    if (const QVariant value = dictionary.value(QStringLiteral("date"));
        value.typeId() == QMetaType::QDateTime)
        date = value.toDateTime();
    std::optional<Url> link;
    if (const auto linkText = text(QStringLiteral("link")))
        link = Url::fromString(*linkText);
    return Information(text(QStringLiteral("title")), text(QStringLiteral("category")), date,
                       link);
}

QList<Information> Information::informationsWithData(const QByteArray& data)
{
    return parseFeed(data).informations;
}

DateFormatter& Information::dateFormatter()
{
    return DateFormatter::shared();
}

const std::optional<QString>& Information::title() const { return d->title; }
const std::optional<QString>& Information::category() const { return d->category; }
const std::optional<QDateTime>& Information::date() const { return d->date; }
const std::optional<Url>& Information::link() const { return d->link; }
void Information::setTitle(std::optional<QString> title) { d->title = std::move(title); }
void Information::setCategory(std::optional<QString> category) { d->category = std::move(category); }
void Information::setDate(std::optional<QDateTime> date) { d->date = validDate(std::move(date)); }
void Information::setLink(std::optional<Url> link) { d->link = std::move(link); }

QString Information::identifier() const
{
    return identifierWithDateIn(DateFormatter::Zone::Utc);
}

QString Information::localZoneIdentifier() const
{
    return identifierWithDateIn(DateFormatter::Zone::Current);
}

QString Information::identifierWithDateIn(DateFormatter::Zone zone) const
{
    const QString identity = QStringLiteral("title: %1, category: %2, date: %3, link: %4")
                                 .arg(orNull(d->title), orNull(d->category), dateOrNull(d->date, zone),
                                      linkOrNull(d->link));
    return hexRepresentation(
        QCryptographicHash::hash(identity.toUtf8(), QCryptographicHash::Sha256));
}

QVariantMap Information::dictionary() const
{
    QVariantMap dictionary;
    if (d->title)
        dictionary.insert(QStringLiteral("title"), *d->title);
    if (d->category)
        dictionary.insert(QStringLiteral("category"), *d->category);
    if (d->date)
        dictionary.insert(QStringLiteral("date"), *d->date);
    if (d->link)
        dictionary.insert(QStringLiteral("link"), d->link->absoluteString());
    return dictionary;
}

QString Information::description() const
{
    const QString self = QStringLiteral("<Information: 0x%1>")
                             .arg(reinterpret_cast<quintptr>(d.constData()), 0, 16);
    return QStringLiteral("%1 title: %2, category: %3, date: %4, link: %5")
        .arg(self, orNull(d->title), orNull(d->category), dateOrNull(d->date),
             linkOrNull(d->link));
}

bool Information::isEqualToInformation(const Information& other) const
{
    if (d.constData() == other.d.constData())
        return true;
    // An absent value equals nothing, not even another absent value.
    const auto same = [](const auto& a, const auto& b) { return a && b && *a == *b; };
    return same(d->title, other.d->title) && same(d->category, other.d->category)
        && same(d->date, other.d->date) && same(d->link, other.d->link);
}

size_t Information::hash() const
{
    const auto part = [](const auto& value) -> size_t { return value ? qHash(*value) : 0; };
    return part(d->title) ^ part(d->category) ^ part(d->date) ^ part(d->link);
}

bool Information::openLink(const LinkOpener& opener) const
{
    if (d->link) {
        const QString scheme = d->link->scheme();
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
            return opener.openURL && opener.openURL(d->link->toQUrl());
    }
    if (opener.showAlert)
        opener.showAlert(d->title.value_or(QString()));
    return true;
}

size_t qHash(const Information& information, size_t seed) noexcept
{
    return seed ^ information.hash();
}

QString hexRepresentation(const QByteArray& bytes)
{
    static constexpr char16_t digits[] = u"0123456789abcdef";
    QString text(bytes.size() * 2, Qt::Uninitialized);
    QChar* out = text.data();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        *out++ = QChar(digits[byte >> 4]);
        *out++ = QChar(digits[byte & 0x0f]);
    }
    return text;
}
