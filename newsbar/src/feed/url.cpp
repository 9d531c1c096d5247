#include "feed/url.h"

#include <QHashFunctions>

namespace {

bool isAlpha(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char16_t c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char16_t c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// unreserved, gen-delims, sub-delims and '%' (checked separately)
bool isUriCharacter(char16_t c)
{
    if (isAlpha(c) || isDigit(c))
        return true;
    switch (c) {
    case '-': case '.': case '_': case '~':
    case ':': case '/': case '?': case '#': case '[': case ']': case '@':
    case '!': case '$': case '&': case '\'': case '(': case ')':
    case '*': case '+': case ',': case ';': case '=':
    case '%':
        return true;
    default:
        return false;
    }
}

// Index of the first ':' when it lies in the first segment (before any '/', '?' or '#'), else -1.
qsizetype firstSegmentColon(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == ':')
            return i;
        if (c == '/' || c == '?' || c == '#')
            return -1;
    }
    return -1;
}

bool isValidScheme(QStringView scheme)
{
    if (scheme.isEmpty() || !isAlpha(scheme.at(0).unicode()))
        return false;
    for (QChar ch : scheme) {
        const char16_t c = ch.unicode();
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

} // namespace

std::optional<Url> Url::fromString(const QString& text)
{
    if (text.isEmpty())
        return std::nullopt;

    int hashes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (!isUriCharacter(c))
            return std::nullopt;
        if (c == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text.at(i + 1).unicode())
                || !isHexDigit(text.at(i + 2).unicode()))
                return std::nullopt;
        } else if (c == '#' && ++hashes > 1) {
            return std::nullopt;
        }
    }

    // A ':' in the first segment must end a valid scheme ("path-noscheme" otherwise).
    qsizetype rest = 0;
    if (const qsizetype colon = firstSegmentColon(text); colon >= 0) {
        if (!isValidScheme(QStringView(text).left(colon)))
            return std::nullopt;
        rest = colon + 1;
    }

    // Brackets belong to an IP literal in the authority only.
    qsizetype authorityEnd = rest;
    if (text.mid(rest, 2) == QLatin1String("//")) {
        authorityEnd = rest + 2;
        while (authorityEnd < text.size()) {
            const char16_t c = text.at(authorityEnd).unicode();
            if (c == '/' || c == '?' || c == '#')
                break;
            ++authorityEnd;
        }
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if ((c == '[' || c == ']') && (i < rest || i >= authorityEnd))
            return std::nullopt;
    }
    return Url(text);
}

QString Url::scheme() const
{
    const qsizetype colon = firstSegmentColon(m_text);
    return colon > 0 ? m_text.left(colon) : QString();
}

QUrl Url::toQUrl() const
{
    return QUrl(m_text, QUrl::StrictMode);
}

size_t qHash(const Url& url, size_t seed) noexcept
{
    return qHash(url.absoluteString(), seed);
}
