#include "feed/feedparser.h"

#include <QHash>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <QUrl>

#include <libxml/HTMLparser.h>
#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

// Debug lines (warnings of readable documents) only when asked for.
Q_LOGGING_CATEGORY(lcFeedParser, "newsbar.feed.parser", QtInfoMsg)

namespace {

void ensureLibxmlInitialised()
{
    // Must happen once before any thread uses the parser.
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

QString oneLine(QString text)
{
    // libxml2 ends messages with a newline and sometimes spreads them over several lines.
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    return text.simplified();
}

const char* chars(const xmlChar* text)
{
    return reinterpret_cast<const char*>(text);
}

// The fields of an item, in the order of the record, and an Atom entry's second date.
enum Field { Title, Category, Date, Link, Updated, FieldCount };

// How an Atom text construct carries its text.
enum class TextType { Text, Html, Xhtml };

const char atomNamespace[] = "http://www.w3.org/2005/Atom";
const char xmlNamespace[] = "http://www.w3.org/XML/1998/namespace";

// One item as the parser goes: the UTF-8 text of each field met so far.
struct ItemDraft
{
    std::optional<QByteArray> fields[FieldCount];
    TextType titleType = TextType::Text;
    bool tooLong = false;
};

// A finished item waiting to be kept or dropped: its text stays UTF-8 until it is kept.
struct Candidate
{
    qsizetype index;  // in the document
    std::optional<QDateTime> date;
    ItemDraft item;
};

// Newer first: a date before none, a later date before an earlier one, then document order.
bool isNewer(const Candidate& a, const Candidate& b)
{
    if (a.date.has_value() != b.date.has_value())
        return a.date.has_value();
    if (a.date && *a.date != *b.date)
        return *a.date > *b.date;
    return a.index < b.index;
}

// An Atom date (RFC 3339: "2026-03-01T09:00:00+09:00", "...T00:00:00.5Z"), white space around it
// allowed; fractions of a second are dropped, as the identity text has none.
std::optional<QDateTime> atomDate(const std::optional<QByteArray>& field)
{
    if (!field)
        return std::nullopt;
    const QByteArray text = field->trimmed();
    const auto digits = [&text](qsizetype at, qsizetype count) {
        int value = 0;
        for (qsizetype i = at; i < at + count; ++i) {
            if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
                return -1;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto at = [&text](qsizetype i, const char* any) {
        return i < text.size() && text[i] != '\0' && std::strchr(any, text[i]);
    };
    if (text.size() < 20 || !at(4, "-") || !at(7, "-") || !at(10, "Tt ") || !at(13, ":") || !at(16, ":"))
        return std::nullopt;
    const QDate day(digits(0, 4), digits(5, 2), digits(8, 2));
    const QTime time(digits(11, 2), digits(14, 2), digits(17, 2));
    qsizetype i = 19;
    if (at(i, ".")) {
        const qsizetype first = ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == first)
            return std::nullopt;
    }
    int offset = 0;
    if (at(i, "Zz") && i + 1 == text.size()) {
        offset = 0;
    } else if (at(i, "+-") && i + 6 == text.size() && at(i + 3, ":")) {
        const int hours = digits(i + 1, 2), minutes = digits(i + 4, 2);
        if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59)
            return std::nullopt;
        offset = (text[i] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    } else {
        return std::nullopt;
    }
    if (!day.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(day, time, Qt::UTC).addSecs(-offset);
}

// Runs of white space as one space, none at either end: a title as a browser shows it.
QByteArray collapseWhiteSpace(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    bool space = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            space = !out.isEmpty();
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += c;
    }
    return out;
}

// Walks the tree without recursion: the HTML parser sets no limit on how deep elements nest.
void appendHtmlText(QByteArray& out, const xmlNode* root)
{
    const xmlNode* node = root;
    while (node) {
        const bool hidden = node->type == XML_ELEMENT_NODE
            && (qstricmp(chars(node->name), "script") == 0 || qstricmp(chars(node->name), "style") == 0);
        if ((node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) && node->content)
            out.append(chars(node->content));
        if (node->type == XML_ELEMENT_NODE && !hidden && node->children) {
            node = node->children;
            continue;
        }
        while (node && !node->next) {
            node = node->parent;
            if (!node || node == root->parent)
                return;
        }
        node = node->next;
    }
}

// The text that HTML markup shows: tags left out, entities and character references resolved.
QByteArray htmlText(const QByteArray& html)
{
    if (!html.contains('<') && !html.contains('&'))
        return html;
    htmlDocPtr doc = htmlReadMemory(html.constData(), int(html.size()), nullptr, "UTF-8",
                                    HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
    QByteArray out;
    if (doc && doc->children)
        appendHtmlText(out, doc->children);
    xmlFreeDoc(doc);
    return out;
}

// Everything one parse knows, reached from every callback through the parser context's _private
// (libxml2 hands it on to the contexts in which it parses entity replacement texts).
class FeedReader
{
public:
    explicit FeedReader(xmlParserCtxt* ctxt) : m_ctxt(ctxt) {}

    // What libxml2 said.
    QString firstMessage;     // libxml2's first message, for a warning-only parse
    int messageCount = 0;
    QString genericText;      // printf-style fragments that bypass the structured channel
    QByteArray unresolvedEntity;  // first reference nothing could resolve
    QString refusal;          // why the parse was stopped (the budget or an external entity)

    // The root element: its name, and which feed it is.
    QString rootName;
    bool isRss = false;
    bool isAtom = false;
    // What relative links of an Atom feed resolve against when it names no xml:base.
    QUrl documentUrl;

    // The kept items in document order, and how many were met and dropped.
    QList<Information> takeInformations();
    qsizetype itemCount = 0;
    qsizetype droppedTooLong = 0;
    qsizetype droppedOld = 0;

    static FeedReader* of(void* ctx)
    {
        return static_cast<FeedReader*>(static_cast<xmlParserCtxt*>(ctx)->_private);
    }
    // Callbacks from the context in which libxml2 parses an entity's replacement text, not from
    // the document itself: they build the entity's nodes once, for every later reference.
    bool isEntityContent(void* ctx) const { return ctx != m_ctxt; }
    // Counts a node of an entity's replacement text; false once there are too many.
    bool addEntityNode(void* ctx);
    bool addEntityDeclaration();

    void startElement(const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                      int attributeCount, const xmlChar** attributes);
    void endElement();
    void text(const xmlChar* text, int length);
    void reference(const xmlChar* name);

    void refuse(const QString& reason);

private:
    bool addExpanded(qint64 size);
    qint64 entitySize(const xmlEntity* entity);
    qint64 listSize(const xmlNode* node);
    void appendList(QByteArray& out, const xmlNode* node, int depth);
    bool capturing() const { return m_field != FieldCount; }
    void startAtomElement(const char* name, const xmlChar* uri, int attributeCount,
                          const xmlChar** attributes);
    std::optional<QByteArray> attribute(int count, const xmlChar** attributes, const char* name,
                                        const char* uri = nullptr);
    void setField(Field field, QByteArray text);
    void finishItem();
    void prune();

    xmlParserCtxt* m_ctxt;
    int m_depth = 0;          // of the element open now; the root is 1
    int m_channelDepth = 0;   // of the open channel, or 0
    int m_itemDepth = 0;      // of the open item, or 0
    int m_fieldDepth = 0;     // of the element whose text is read, or 0
    Field m_field = FieldCount;
    ItemDraft m_item;
    std::vector<QUrl> m_bases;  // an Atom feed's xml:base in effect at each depth
    qint64 m_expanded = 0;
    QHash<const xmlEntity*, qint64> m_entitySizes;
    int m_entityNodes = 0;
    int m_entityDeclarations = 0;
    std::vector<Candidate> m_candidates;
};

void FeedReader::refuse(const QString& reason)
{
    if (refusal.isEmpty())
        refusal = reason;
    xmlStopParser(m_ctxt);
}

bool FeedReader::addEntityNode(void* ctx)
{
    if (++m_entityNodes <= feedEntityNodeLimit)
        return true;
    refuse(QStringLiteral("entities that would make more than %1 nodes").arg(feedEntityNodeLimit));
    xmlStopParser(static_cast<xmlParserCtxt*>(ctx));
    return false;
}

bool FeedReader::addEntityDeclaration()
{
    if (++m_entityDeclarations <= feedEntityNodeLimit)
        return true;
    refuse(QStringLiteral("more than %1 entity declarations").arg(feedEntityNodeLimit));
    return false;
}

bool FeedReader::addExpanded(qint64 size)
{
    m_expanded += size;
    if (m_expanded <= feedSizeLimit)
        return true;
    refuse(QStringLiteral("text with its entities expanded is larger than %1 bytes").arg(feedSizeLimit));
    return false;
}

void FeedReader::startElement(const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                               int attributeCount, const xmlChar** attributes)
{
    ++m_depth;
    if (capturing())
        return;  // the field's text includes that of elements inside it
    const char* name = chars(localName);
    if (m_depth == 1) {
        isRss = !uri && qstrcmp(name, "rss") == 0;
        isAtom = uri && qstrcmp(chars(uri), atomNamespace) == 0 && qstrcmp(name, "feed") == 0;
        rootName = uri ? QStringLiteral("{%1}%2").arg(QString::fromUtf8(chars(uri)), QString::fromUtf8(name))
                       : QString::fromUtf8(name);
        m_bases.assign(1, documentUrl);
    }
    if (isAtom) {
        startAtomElement(name, uri, attributeCount, attributes);
        return;
    }
    if (!isRss)
        return;
    // "/rss/channel/item": names without a namespace; the fields: names without a prefix.
    if (m_depth == 2 && !uri && qstrcmp(name, "channel") == 0) {
        m_channelDepth = m_depth;
    } else if (m_channelDepth && m_depth == 3 && !uri && qstrcmp(name, "item") == 0) {
        m_itemDepth = m_depth;
        m_item = ItemDraft();
    } else if (m_itemDepth && m_depth == 4 && !prefix) {
        static const char* const names[] = {"title", "category", "pubDate", "link"};
        for (int field = Title; field <= Link; ++field) {
            if (qstrcmp(name, names[field]) == 0 && !m_item.fields[field]) {
                m_field = Field(field);
                m_fieldDepth = m_depth;
                m_item.fields[field] = QByteArray();
                break;
            }
        }
    }
}

// An attribute's value with its references resolved (the parser leaves those to the caller), or
// nothing when the element has no such attribute.
std::optional<QByteArray> FeedReader::attribute(int count, const xmlChar** attributes, const char* name,
                                                const char* uri)
{
    for (int i = 0; i < count; ++i) {
        const xmlChar* const* a = attributes + 5 * i;  // name, prefix, namespace, value, end
        if (qstrcmp(chars(a[0]), name) != 0 || (uri ? !a[2] || qstrcmp(chars(a[2]), uri) != 0 : a[2] != nullptr))
            continue;
        const int length = int(a[4] - a[3]);
        QByteArray value(chars(a[3]), length);
        if (value.contains('&')) {
            xmlChar* decoded = xmlStringDecodeEntities(m_ctxt, reinterpret_cast<const xmlChar*>(value.constData()),
                                                       XML_SUBSTITUTE_REF, 0, 0, 0);
            value = decoded ? QByteArray(chars(decoded)) : QByteArray();
            xmlFree(decoded);
        }
        if (!addExpanded(value.size()))
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

// A field read from an attribute: the first one counts, within the field budget.
void FeedReader::setField(Field field, QByteArray text)
{
    if (m_item.fields[field])
        return;
    if (text.size() > feedFieldLimit)
        m_item.tooLong = true;
    else
        m_item.fields[field] = std::move(text);
}

// An Atom 1.0 feed: "/feed/entry" and its fields, every name in the Atom namespace whatever its
// prefix; xml:base on any element down to a field sets what relative links resolve against.
void FeedReader::startAtomElement(const char* name, const xmlChar* uri, int attributeCount,
                                  const xmlChar** attributes)
{
    QUrl base = m_bases.back();
    if (const auto xmlBase = attribute(attributeCount, attributes, "base", xmlNamespace)) {
        const QUrl relative(QString::fromUtf8(*xmlBase));
        base = base.isEmpty() ? relative : base.resolved(relative);
    }
    m_bases.push_back(base);
    const bool atom = uri && qstrcmp(chars(uri), atomNamespace) == 0;
    if (!atom)
        return;
    if (m_depth == 2 && qstrcmp(name, "entry") == 0) {
        m_itemDepth = m_depth;
        m_item = ItemDraft();
        return;
    }
    if (!m_itemDepth || m_depth != 3)
        return;
    const auto capture = [this](Field field) {
        if (m_item.fields[field])
            return;
        m_field = field;
        m_fieldDepth = m_depth;
        m_item.fields[field] = QByteArray();
    };
    if (qstrcmp(name, "title") == 0 && !m_item.fields[Title]) {
        const QByteArray type = attribute(attributeCount, attributes, "type").value_or(QByteArray()).trimmed();
        m_item.titleType = type == "html" ? TextType::Html : type == "xhtml" ? TextType::Xhtml : TextType::Text;
        capture(Title);
    } else if (qstrcmp(name, "published") == 0) {
        capture(Date);
    } else if (qstrcmp(name, "updated") == 0) {
        capture(Updated);
    } else if (qstrcmp(name, "category") == 0 && !m_item.fields[Category]) {
        // The label is for people; the term when there is none.
        std::optional<QByteArray> text = attribute(attributeCount, attributes, "label");
        if (!text || text->trimmed().isEmpty())
            text = attribute(attributeCount, attributes, "term");
        if (text)
            setField(Category, *text);
    } else if (qstrcmp(name, "link") == 0 && !m_item.fields[Link]) {
        // The entry's page: rel "alternate" (the default) of an HTML type or of none.
        const QByteArray rel = attribute(attributeCount, attributes, "rel").value_or("alternate").trimmed();
        const QByteArray type = attribute(attributeCount, attributes, "type").value_or(QByteArray()).trimmed().toLower();
        const std::optional<QByteArray> href = attribute(attributeCount, attributes, "href");
        if (!href || (rel != "alternate" && rel != "http://www.iana.org/assignments/relation/alternate")
            || !(type.isEmpty() || type == "text/html" || type == "application/xhtml+xml"))
            return;
        const QUrl link(QString::fromUtf8(*href));
        if (link.isRelative() && !base.isEmpty())
            setField(Link, base.resolved(link).toString(QUrl::FullyEncoded).toUtf8());
        else
            setField(Link, *href);
    }
}

void FeedReader::endElement()
{
    // Each element pushed its base, except those within a field's text.
    if (isAtom && (!capturing() || m_depth == m_fieldDepth) && m_bases.size() > 1)
        m_bases.pop_back();
    if (m_depth == m_fieldDepth) {
        m_field = FieldCount;
        m_fieldDepth = 0;
    } else if (m_depth == m_itemDepth) {
        finishItem();
        m_itemDepth = 0;
    } else if (m_depth == m_channelDepth) {
        m_channelDepth = 0;
    }
    --m_depth;
}

void FeedReader::text(const xmlChar* text, int length)
{
    if (!addExpanded(length) || !capturing() || m_item.tooLong)
        return;
    QByteArray& field = *m_item.fields[m_field];
    if (field.size() + length > feedFieldLimit) {
        m_item.tooLong = true;
        return;
    }
    field.append(chars(text), length);
}

void FeedReader::reference(const xmlChar* name)
{
    // Predefined entities and character references arrive as text; this is one of the
    // document's entities (or an HTML one declared for it), whose nodes libxml2 has built.
    const xmlEntity* entity = xmlGetDocEntity(m_ctxt->myDoc, name);
    if (!entity)
        return;
    const qint64 size = entitySize(entity);
    if (!addExpanded(size) || !capturing() || m_item.tooLong)
        return;
    QByteArray& field = *m_item.fields[m_field];
    if (field.size() + size > feedFieldLimit) {
        m_item.tooLong = true;
        return;
    }
    appendList(field, entity->children, 0);
}

// The length of an entity's text with every reference in it expanded: measured once per entity,
// so repeated references cost one addition each.
qint64 FeedReader::entitySize(const xmlEntity* entity)
{
    if (const auto it = m_entitySizes.constFind(entity); it != m_entitySizes.constEnd())
        return *it;
    // A reference loop (which libxml2 refuses anyway) counts as too large.
    m_entitySizes.insert(entity, feedSizeLimit + 1);
    const qint64 size = listSize(entity->children);
    m_entitySizes.insert(entity, size);
    return size;
}

qint64 FeedReader::listSize(const xmlNode* node)
{
    qint64 total = 0;
    for (; node && total <= feedSizeLimit; node = node->next) {
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            total += node->content ? xmlStrlen(node->content) : 0;
            break;
        case XML_ENTITY_REF_NODE:
            if (const xmlEntity* entity = xmlGetDocEntity(node->doc, node->name))
                total += entitySize(entity);
            break;
        case XML_ELEMENT_NODE:
            total += listSize(node->children);
            break;
        default:
            break;
        }
    }
    return total;
}

// Appends the text beneath the nodes, in document order. The size was measured before, so this
// is one pass into a buffer that has room.
void FeedReader::appendList(QByteArray& out, const xmlNode* node, int depth)
{
    if (depth > 1024)
        return;  // deeper than libxml2 lets elements and entities nest
    for (; node; node = node->next) {
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            if (node->content)
                out.append(chars(node->content));
            break;
        case XML_ENTITY_REF_NODE:
            if (const xmlEntity* entity = xmlGetDocEntity(node->doc, node->name))
                appendList(out, entity->children, depth + 1);
            break;
        case XML_ELEMENT_NODE:
            appendList(out, node->children, depth + 1);
            break;
        default:
            break;
        }
    }
}

void FeedReader::finishItem()
{
    const qsizetype index = itemCount++;
    if (m_item.tooLong) {
        ++droppedTooLong;
        return;
    }
    std::optional<QDateTime> date;
    if (isAtom) {
        date = atomDate(m_item.fields[Date]);
        if (!date)
            date = atomDate(m_item.fields[Updated]);
        m_item.fields[Updated].reset();
        if (QByteArray* title = m_item.fields[Title] ? &*m_item.fields[Title] : nullptr)
            *title = collapseWhiteSpace(m_item.titleType == TextType::Html ? htmlText(*title) : *title);
    } else if (m_item.fields[Date]) {
        date = DateFormatter::shared().dateFromString(QString::fromUtf8(*m_item.fields[Date]));
    }
    m_candidates.push_back({index, date, std::move(m_item)});
    m_item = ItemDraft();
    // Pruned in batches, so that each item costs a constant share of the work.
    if (m_candidates.size() >= std::size_t(feedItemLimit + feedItemLimit / 2))
        prune();
}

void FeedReader::prune()
{
    if (m_candidates.size() <= std::size_t(feedItemLimit))
        return;
    std::nth_element(m_candidates.begin(), m_candidates.begin() + feedItemLimit, m_candidates.end(), isNewer);
    droppedOld += qsizetype(m_candidates.size()) - feedItemLimit;
    m_candidates.resize(feedItemLimit);
}

QList<Information> FeedReader::takeInformations()
{
    prune();
    std::sort(m_candidates.begin(), m_candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.index < b.index; });
    QList<Information> informations;
    informations.reserve(qsizetype(m_candidates.size()));
    for (Candidate& candidate : m_candidates) {
        std::optional<QString> fields[FieldCount];
        for (int field = 0; field < FieldCount; ++field) {
            if (candidate.item.fields[field]) {
                fields[field] = QString::fromUtf8(*candidate.item.fields[field]);
                candidate.item.fields[field].reset();  // the text is held once at a time
            }
        }
        std::optional<Url> link;
        if (fields[Link])
            link = Url::fromString(*fields[Link]);
        informations.append(Information(std::move(fields[Title]), std::move(fields[Category]),
                                        candidate.date, std::move(link)));
    }
    m_candidates.clear();
    return informations;
}

// libxml2's error channels.

void collectStructured(void* data, xmlErrorPtr error)
{
    // serror gets the parser context (its userData); the thread-wide channel gets the reader.
    auto* reader = static_cast<FeedReader*>(data);
    if (!reader || !error)
        return;
    if (reader->messageCount++ == 0 && error->message)
        reader->firstMessage = oneLine(QString::fromUtf8(error->message));
}

void collectParserError(void* ctx, xmlErrorPtr error)
{
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    collectStructured(ctxt ? ctxt->_private : nullptr, error);
}

void collectGeneric(void* data, const char* format, ...)
{
    auto* reader = static_cast<FeedReader*>(data);
    if (!reader)
        return;
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    if (reader->genericText.size() < 1024)
        reader->genericText += QString::fromUtf8(buffer);
}

void dropStructured(void*, xmlErrorPtr error)
{
    if (error && error->message)
        qCDebug(lcFeedParser).noquote() << "libxml2:" << oneLine(QString::fromUtf8(error->message));
}
void dropGeneric(void*, const char*, ...) {}

// libxml2's error channels are per thread: routes them to the reader for the parse, and away
// from standard error afterwards.
class ErrorChannel
{
public:
    explicit ErrorChannel(FeedReader* reader)
    {
        xmlSetStructuredErrorFunc(reader, collectStructured);
        xmlSetGenericErrorFunc(reader, collectGeneric);
    }
    ~ErrorChannel()
    {
        xmlSetStructuredErrorFunc(nullptr, dropStructured);
        xmlSetGenericErrorFunc(nullptr, dropGeneric);
    }
    ErrorChannel(const ErrorChannel&) = delete;
    ErrorChannel& operator=(const ErrorChannel&) = delete;
};

// The parser's events. In the document they go to the reader and build nothing; in an entity's
// replacement text they build the entity's nodes as libxml2 would.

void onStartElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                    int namespaceCount, const xmlChar** namespaces, int attributeCount,
                    int defaultedCount, const xmlChar** attributes)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx)) {
        if (reader->addEntityNode(ctx))
            xmlSAX2StartElementNs(ctx, localName, prefix, uri, namespaceCount, namespaces,
                                  attributeCount, defaultedCount, attributes);
        return;
    }
    reader->startElement(localName, prefix, uri, attributeCount, attributes);
}

void onEndElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx))
        xmlSAX2EndElementNs(ctx, localName, prefix, uri);
    else
        reader->endElement();
}

void onText(void* ctx, const xmlChar* text, int length)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx)) {
        if (reader->addEntityNode(ctx))
            xmlSAX2Characters(ctx, text, length);
        return;
    }
    reader->text(text, length);
}

void onCData(void* ctx, const xmlChar* text, int length)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx)) {
        if (reader->addEntityNode(ctx))
            xmlSAX2CDataBlock(ctx, text, length);
        return;
    }
    reader->text(text, length);
}

void onReference(void* ctx, const xmlChar* name)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx)) {
        if (reader->addEntityNode(ctx))
            xmlSAX2Reference(ctx, name);
        return;
    }
    reader->reference(name);
}

// Comments and processing instructions are not kept (in the document libxml2 would hang them on
// the document node), except in an entity's replacement text: an entity without nodes would be
// parsed again at every reference.
void onComment(void* ctx, const xmlChar* text)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx) && reader->addEntityNode(ctx))
        xmlSAX2Comment(ctx, text);
}

void onProcessingInstruction(void* ctx, const xmlChar* target, const xmlChar* data)
{
    FeedReader* reader = FeedReader::of(ctx);
    if (reader->isEntityContent(ctx) && reader->addEntityNode(ctx))
        xmlSAX2ProcessingInstruction(ctx, target, data);
}

// Declarations that only a validating parser would use are not kept.
void ignoreElementDeclaration(void*, const xmlChar*, int, xmlElementContentPtr) {}
void ignoreAttributeDeclaration(void*, const xmlChar*, const xmlChar*, int, int, const xmlChar*,
                                xmlEnumerationPtr tree)
{
    xmlFreeEnumeration(tree);  // ours to free
}
void ignoreNotationDeclaration(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

void onEntityDeclaration(void* ctx, const xmlChar* name, int type, const xmlChar* publicId,
                         const xmlChar* systemId, xmlChar* content)
{
    if (FeedReader::of(ctx)->addEntityDeclaration())
        xmlSAX2EntityDecl(ctx, name, type, publicId, systemId, content);
}

void onUnparsedEntityDeclaration(void* ctx, const xmlChar* name, const xmlChar* publicId,
                                 const xmlChar* systemId, const xmlChar* notation)
{
    if (FeedReader::of(ctx)->addEntityDeclaration())
        xmlSAX2UnparsedEntityDecl(ctx, name, publicId, systemId, notation);
}

// Refuses every external entity and DTD, whatever the options say.
xmlParserInputPtr refuseEntity(void*, const xmlChar*, const xmlChar*)
{
    return nullptr;
}
void ignoreExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

// The document's own entities first; then a name it does not declare as the HTML 4 entity of
// that name, declared into the document so that the reference keeps its text. Anything else is
// remembered as unresolved: with a DOCTYPE libxml2 would keep the reference and drop its text.
// A reference to an external entity stops the parse: it is never loaded.
xmlEntityPtr lookUpEntity(void* ctx, const xmlChar* name)
{
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    FeedReader* reader = FeedReader::of(ctx);
    if (xmlEntityPtr entity = xmlSAX2GetEntity(ctx, name)) {
        if (ctxt->inSubset == 0
            && (entity->etype == XML_EXTERNAL_GENERAL_PARSED_ENTITY
                || entity->etype == XML_EXTERNAL_GENERAL_UNPARSED_ENTITY))
            reader->refuse(QStringLiteral("entity '%1' is external and never loaded")
                               .arg(QString::fromUtf8(chars(name))));
        return entity;
    }
    if (ctxt->inSubset != 0 || !ctxt->myDoc)
        return nullptr;
    const htmlEntityDesc* html = htmlEntityLookup(name);
    if (!html) {
        if (reader->unresolvedEntity.isEmpty())
            reader->unresolvedEntity = chars(name);
        return nullptr;
    }
    if (!ctxt->myDoc->intSubset && !xmlCreateIntSubset(ctxt->myDoc, nullptr, nullptr, nullptr))
        return nullptr;
    // A character reference: the value is parsed as content, and stays one character.
    char content[16];
    std::snprintf(content, sizeof content, "&#%u;", html->value);
    return xmlAddDocEntity(ctxt->myDoc, name, XML_INTERNAL_GENERAL_ENTITY, nullptr, nullptr,
                           reinterpret_cast<const xmlChar*>(content));
}

// The most attributes in one start tag, counted as '=' signs between a '<' and the next '>'
// (a '=' in an attribute value or in text counts too, so this errs upwards).
int mostAttributes(const QByteArray& data)
{
    int most = 0;
    const char* p = data.constData();
    const char* const end = p + data.size();
    while ((p = static_cast<const char*>(std::memchr(p, '<', std::size_t(end - p))))) {
        const char* close = static_cast<const char*>(std::memchr(p, '>', std::size_t(end - p)));
        const char* stop = close ? close : end;
        most = std::max(most, int(std::count(p, stop, '=')));
        if (!close)
            break;
        p = close;
    }
    return most;
}

struct DocFree { void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); } };
struct ParserFree { void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); } };

// The encoding a byte-order mark names, or UTF-32 recognised by its first character "<";
// nothing when libxml2's own detection and the declaration should decide.
std::optional<QStringConverter::Encoding> markedEncoding(const QByteArray& data)
{
    const auto startsWith = [&data](std::initializer_list<unsigned char> bytes) {
        return data.size() >= qsizetype(bytes.size())
            && std::equal(bytes.begin(), bytes.end(), data.constData(),
                          [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); });
    };
    // UTF-32 first: its little-endian mark begins like UTF-16's.
    if (startsWith({0x00, 0x00, 0xfe, 0xff}) || startsWith({0x00, 0x00, 0x00, 0x3c}))
        return QStringConverter::Utf32BE;
    if (startsWith({0xff, 0xfe, 0x00, 0x00}) || startsWith({0x3c, 0x00, 0x00, 0x00}))
        return QStringConverter::Utf32LE;
    if (startsWith({0xef, 0xbb, 0xbf}))
        return QStringConverter::Utf8;
    if (startsWith({0xfe, 0xff}))
        return QStringConverter::Utf16BE;
    if (startsWith({0xff, 0xfe}))
        return QStringConverter::Utf16LE;
    return std::nullopt;
}

void logRefusal(const QString& reason)
{
    qCWarning(lcFeedParser).noquote() << "Failed to read rss document with error:" << reason;
}

QString describeError(const xmlError& error, const FeedReader& reader)
{
    QString message = error.message ? oneLine(QString::fromUtf8(error.message)) : QString();
    if (message.isEmpty())
        message = oneLine(reader.genericText);
    if (message.isEmpty())
        message = QStringLiteral("unknown error");
    // One-pass arg(): the message may itself contain "%1".
    return QStringLiteral("%1 (code %2, line %3, column %4)")
        .arg(message, QString::number(error.code), QString::number(error.line),
             QString::number(error.int2));
}

void logDropped(const FeedReader& reader)
{
    if (reader.droppedTooLong == 0 && reader.droppedOld == 0)
        return;
    QStringList why;
    if (reader.droppedTooLong)
        why << QStringLiteral("%1 with a field longer than %2 bytes").arg(reader.droppedTooLong).arg(feedFieldLimit);
    if (reader.droppedOld)
        why << QStringLiteral("%1 beyond the %2 newest").arg(reader.droppedOld).arg(feedItemLimit);
    qCWarning(lcFeedParser).noquote()
        << QStringLiteral("Dropped %1 of %2 items of the feed: %3")
               .arg(reader.droppedTooLong + reader.droppedOld)
               .arg(reader.itemCount)
               .arg(why.join(QLatin1String(", ")));
}

// Reads the document into result, or gives the one-line reason it was refused.
bool readDocument(const QByteArray& input, const QUrl& documentUrl, FeedParseResult& result)
{
    if (input.size() > feedSizeLimit) {
        result.reason = QStringLiteral("document larger than %1 bytes").arg(feedSizeLimit);
        return false;
    }
    QByteArray data = input;
    const char* encoding = nullptr;
    int options = XML_PARSE_NONET;
    if (const auto marked = markedEncoding(input)) {
        // The mark decides: the text goes to libxml2 as UTF-8 and the declaration is ignored.
        QStringDecoder decoder(*marked);
        const QString text = decoder.decode(input);
        if (decoder.hasError()) {
            result.reason = QStringLiteral("bytes that are not %1 after its byte-order mark")
                                .arg(QString::fromLatin1(QStringConverter::nameForEncoding(*marked)));
            return false;
        }
        data = text.toUtf8();
        encoding = "UTF-8";
        options |= XML_PARSE_IGNORE_ENC;
    }
    if (mostAttributes(data) > feedAttributeLimit) {
        result.reason = QStringLiteral("a start tag with more than %1 attributes").arg(feedAttributeLimit);
        return false;
    }

    std::unique_ptr<xmlParserCtxt, ParserFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        result.reason = QStringLiteral("out of memory");
        return false;
    }
    FeedReader reader(ctxt.get());
    reader.documentUrl = documentUrl;
    const ErrorChannel channel(&reader);
    ctxt->_private = &reader;
    xmlSAXHandler* sax = ctxt->sax;
    sax->serror = collectParserError;
    sax->resolveEntity = refuseEntity;
    sax->externalSubset = ignoreExternalSubset;
    sax->getEntity = lookUpEntity;
    sax->entityDecl = onEntityDeclaration;
    sax->unparsedEntityDecl = onUnparsedEntityDeclaration;
    sax->elementDecl = ignoreElementDeclaration;
    sax->attributeDecl = ignoreAttributeDeclaration;
    sax->notationDecl = ignoreNotationDeclaration;
    sax->startElementNs = onStartElement;
    sax->endElementNs = onEndElement;
    sax->characters = onText;
    sax->ignorableWhitespace = onText;
    sax->cdataBlock = onCData;
    sax->reference = onReference;
    sax->comment = onComment;
    sax->processingInstruction = onProcessingInstruction;

    // No DTD loading, no entity substitution by the parser (the reader expands references itself,
    // measured, into the fields it keeps), no network, libxml2's default limits (no
    // XML_PARSE_HUGE); well-formedness is required. The document that comes back holds no
    // elements, only the declarations.
    const std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), data.constData(), static_cast<int>(data.size()), nullptr, encoding, options));
    if (!reader.refusal.isEmpty()) {
        result.reason = reader.refusal;
        return false;
    }
    if (!doc) {
        result.reason = describeError(ctxt->lastError, reader);
        return false;
    }
    if (!reader.unresolvedEntity.isEmpty()) {
        result.reason = QStringLiteral("entity '%1' is not defined").arg(QString::fromUtf8(reader.unresolvedEntity));
        return false;
    }
    if (reader.messageCount > 0)
        qCDebug(lcFeedParser).noquote() << "Read rss document with" << reader.messageCount
                                        << "warning(s), the first:" << reader.firstMessage;

    if (reader.isRss || reader.isAtom) {
        result.status = FeedParseResult::Status::Rss;
        result.informations = reader.takeInformations();
        logDropped(reader);
    } else {
        result.status = FeedParseResult::Status::NotRss;
        result.reason = reader.rootName;
    }
    return true;
}

} // namespace

FeedParseResult parseFeed(const QByteArray& data, const QUrl& documentUrl)
{
    ensureLibxmlInitialised();
    FeedParseResult result;
    if (!readDocument(data, documentUrl, result))
        logRefusal(result.reason);
    return result;
}
