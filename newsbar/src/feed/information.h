#pragma once

#include "feed/dateformatter.h"
#include "feed/url.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSharedDataPointer>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <optional>

class InformationData;

// How the desktop opens a link or tells the user it cannot; supplied by the program so that the
// record itself stays free of widgets.
struct LinkOpener
{
    // Opens the URL with the user's default handler; true when that succeeded.
    std::function<bool(const QUrl& url)> openURL;
    // Shows the modal, informational alert whose message is the localised
    // "INFORMATION_ALERT_TITLE" and whose informative text is the given title; returns when
    // the user has dismissed it.
    std::function<void(const QString& informativeText)> showAlert;
};

// One item of the news feed: title, category, publication date and link, each possibly absent
// (absent is not the same as empty).
//
// A value type with implicit sharing. Copies are the same record, which matters for equality:
// an absent field equals nothing, so a record with an absent field equals only itself and its
// copies. A setter detaches, making a new record. Records made by the parser are never changed.
class Information
{
public:
    // All four fields absent.
    Information();
    // A record of the four fields as given; an invalid QDateTime counts as absent.
    Information(std::optional<QString> title, std::optional<QString> category,
                std::optional<QDateTime> date, std::optional<Url> link);
    Information(const Information&);
    Information(Information&&) noexcept;
    Information& operator=(const Information&);
    Information& operator=(Information&&) noexcept;
    ~Information();

    // The inverse of dictionary(): "title" and "category" as text, "date" as a QDateTime,
    // "link" as text parsed with Url::fromString. A missing key, a value of another type or a
    // link that is not a URL gives an absent field.
    static Information initWithDictionary(const QVariantMap& dictionary);

    // The records of an RSS 2.0 or Atom 1.0 document, in document order; empty on every failure. Logs
    // "Failed to read rss document with error: ..." when the bytes are not well-formed XML.
    // Safe to call from any thread. See feedparser.h for the rules.
    static QList<Information> informationsWithData(const QByteArray& data);

    // The shared formatter that reads feed dates and writes them into identifiers.
    static DateFormatter& dateFormatter();

    const std::optional<QString>& title() const;
    const std::optional<QString>& category() const;
    const std::optional<QDateTime>& date() const;   // UTC
    const std::optional<Url>& link() const;
    void setTitle(std::optional<QString> title);
    void setCategory(std::optional<QString> category);
    void setDate(std::optional<QDateTime> date);
    void setLink(std::optional<Url> link);

    // SHA-256 of the UTF-8 text "title: %1, category: %2, date: %3, link: %4" (absent values
    // written "(null)", the date written by dateFormatter() in UTC, the link's text as the feed
    // gave it), as 64 lower-case hex digits. Stored read and notified state is keyed by it, so
    // its computation must never change; it does not depend on where the program runs. Computed
    // afresh on every call.
    QString identifier() const;
    // The identifier as earlier versions wrote it: the same text with the date in the process's
    // current time zone. Only for carrying stored state over to identifier().
    QString localZoneIdentifier() const;

    // "title", "category", "date" (a QDateTime) and "link" (text); an absent field has no entry.
    QVariantMap dictionary() const;

    // Diagnostic text "<Information: 0x...> title: ..., category: ..., date: ..., link: ...".
    QString description() const;

    // True for the same record; otherwise true only when all four fields are present on both
    // sides and equal (texts by characters, dates by instant, links by text).
    bool isEqualToInformation(const Information& other) const;
    // Exclusive-or of the fields' hashes, an absent field contributing 0.
    size_t hash() const;

    friend bool operator==(const Information& a, const Information& b)
    {
        return a.isEqualToInformation(b);
    }
    friend bool operator!=(const Information& a, const Information& b) { return !(a == b); }

    // When the link's scheme is exactly "http" or "https", hands the link to opener.openURL and
    // returns its result. Otherwise (other or no scheme, absent link) shows opener.showAlert with
    // the title (empty when absent) and returns true once it has been dismissed.
    bool openLink(const LinkOpener& opener) const;

private:
    QString identifierWithDateIn(DateFormatter::Zone zone) const;

    QSharedDataPointer<InformationData> d;
};

size_t qHash(const Information& information, size_t seed = 0) noexcept;

// The bytes as lower-case hex text, two digits per byte; empty for an empty buffer.
QString hexRepresentation(const QByteArray& bytes);
