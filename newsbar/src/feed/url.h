#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// A URL exactly as a feed or the bundle information wrote it.
//
// QUrl normalises what it parses (lower-cased scheme and host, re-encoded escapes), but the link's
// text takes part in every record identifier, so it must be kept byte for byte: this type keeps
// the original text and only converts to QUrl when something has to be opened or downloaded.
class Url
{
public:
    // The text as a URL, or nothing when it is not an RFC 3986 URI reference: empty text,
    // white space anywhere (leading and trailing included), characters outside ASCII or outside
    // the URI alphabet, a '%' not followed by two hex digits, more than one '#', brackets outside
    // the authority, or a first segment with ':' that is not a valid scheme. Relative references
    // ("news/1.html") are URLs without scheme.
    static std::optional<Url> fromString(const QString& text);

    // The text as given; never normalised.
    const QString& absoluteString() const { return m_text; }

    // The scheme as written (case kept), or an empty text for a relative reference.
    QString scheme() const;

    // For opening or downloading; QUrl may render it differently, so never compare its text.
    QUrl toQUrl() const;

    friend bool operator==(const Url& a, const Url& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const Url& a, const Url& b) { return !(a == b); }

private:
    explicit Url(const QString& text) : m_text(text) {}
    QString m_text;
};

size_t qHash(const Url& url, size_t seed = 0) noexcept;
