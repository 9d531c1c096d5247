#include "feed/feedparser.h"

#include <QHash>
#include <QLoggingCategory>
#include <QStringDecoder>

#include <libxml/HTMLparser.h>
#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

// Debug lines (warnings of readable documents) only when asked for.
Q_LOGGING_CATEGORY(lcFeedParser, "newsbar.feed.parser", QtInfoMsg)

namespace {

void ensureLibxmlInitialised()
{
    // Must happen once before any thread uses the parser.
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// What one parse heard from libxml2 and from its own entity lookups.
struct ParseState
{
    QString firstMessage;     // libxml2's first message, for a warning-only parse
    int messageCount = 0;
    QString genericText;      // printf-style fragments that bypass the structured channel
    QByteArray unresolvedEntity;  // first reference nothing could resolve
};

QString oneLine(QString text)
{
    // libxml2 ends messages with a newline and sometimes spreads them over several lines.
    text.replace(u'\r', u' ').replace(u'\n', u' ');
    return text.simplified();
}

void collectStructured(void* data, xmlErrorPtr error)
{
    // serror gets the parser context (its userData); the thread-wide channel gets the state.
    auto* state = static_cast<ParseState*>(data);
    if (!state || !error)
        return;
    if (state->messageCount++ == 0 && error->message)
        state->firstMessage = oneLine(QString::fromUtf8(error->message));
}

void collectParserError(void* ctx, xmlErrorPtr error)
{
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    collectStructured(ctxt ? ctxt->_private : nullptr, error);
}

void collectGeneric(void* data, const char* format, ...)
{
    auto* state = static_cast<ParseState*>(data);
    if (!state)
        return;
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    if (state->genericText.size() < 1024)
        state->genericText += QString::fromUtf8(buffer);
}

void dropStructured(void*, xmlErrorPtr error)
{
    if (error && error->message)
        qCDebug(lcFeedParser).noquote() << "libxml2:" << oneLine(QString::fromUtf8(error->message));
}
void dropGeneric(void*, const char*, ...) {}

// libxml2's error channels are per thread: routes them to state for the parse, and away from
// standard error afterwards.
class ErrorChannel
{
public:
    explicit ErrorChannel(ParseState* state)
    {
        xmlSetStructuredErrorFunc(state, collectStructured);
        xmlSetGenericErrorFunc(state, collectGeneric);
    }
    ~ErrorChannel()
    {
        xmlSetStructuredErrorFunc(nullptr, dropStructured);
        xmlSetGenericErrorFunc(nullptr, dropGeneric);
    }
    ErrorChannel(const ErrorChannel&) = delete;
    ErrorChannel& operator=(const ErrorChannel&) = delete;
};

// Refuses every external entity and DTD, whatever the options say.
xmlParserInputPtr refuseEntity(void*, const xmlChar*, const xmlChar*)
{
    return nullptr;
}
void ignoreExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

// The document's own entities first; then a name it does not declare as the HTML 4 entity of
// that name, declared into the document so that the reference keeps its text. Anything else is
// remembered as unresolved: with a DOCTYPE libxml2 would keep the reference and drop its text.
xmlEntityPtr lookUpEntity(void* ctx, const xmlChar* name)
{
    auto* ctxt = static_cast<xmlParserCtxt*>(ctx);
    if (xmlEntityPtr entity = xmlSAX2GetEntity(ctx, name))
        return entity;
    if (ctxt->inSubset != 0 || !ctxt->myDoc)
        return nullptr;
    auto* state = static_cast<ParseState*>(ctxt->_private);
    const htmlEntityDesc* html = htmlEntityLookup(name);
    if (!html) {
        if (state->unresolvedEntity.isEmpty())
            state->unresolvedEntity = reinterpret_cast<const char*>(name);
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

// Measures a document's text with every entity reference expanded, without expanding anything:
// each entity is measured once, so repeated references cost one addition each. Stops counting
// past the limit.
class ExpansionMeter
{
public:
    explicit ExpansionMeter(qint64 limit) : m_limit(limit) {}

    qint64 list(const xmlNode* node)
    {
        qint64 total = 0;
        for (; node && total <= m_limit; node = node->next)
            total += this->node(node);
        return total;
    }

    // The first external entity that a reference in the document needs (never loaded).
    QByteArray externalEntity;

private:
    qint64 node(const xmlNode* node)
    {
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
            return node->content ? xmlStrlen(node->content) : 0;
        case XML_ENTITY_REF_NODE:
            return entity(xmlGetDocEntity(node->doc, node->name));
        case XML_ELEMENT_NODE: {
            qint64 total = list(node->children);
            for (const xmlAttr* attribute = node->properties; attribute && total <= m_limit;
                 attribute = attribute->next)
                total += list(attribute->children);
            return total;
        }
        default:
            return 0;
        }
    }

    qint64 entity(const xmlEntity* entity)
    {
        if (!entity)
            return 0;
        if (entity->etype == XML_EXTERNAL_GENERAL_PARSED_ENTITY
            || entity->etype == XML_EXTERNAL_GENERAL_UNPARSED_ENTITY) {
            if (externalEntity.isEmpty())
                externalEntity = reinterpret_cast<const char*>(entity->name);
            return 0;
        }
        if (const auto it = m_sizes.constFind(entity); it != m_sizes.constEnd())
            return *it;
        // A reference loop (which libxml2 refuses anyway) would count as too large.
        m_sizes.insert(entity, m_limit + 1);
        // Parsed content when some reference made libxml2 build it, else the declared text.
        const qint64 size = entity->children
            ? list(entity->children)
            : (entity->content ? xmlStrlen(entity->content) : 0);
        m_sizes.insert(entity, size);
        return size;
    }

    qint64 m_limit;
    QHash<const xmlEntity*, qint64> m_sizes;
};

struct DocFree { void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); } };
struct ParserFree { void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); } };
struct XPathContextFree {
    void operator()(xmlXPathContext* ctxt) const { xmlXPathFreeContext(ctxt); }
};
struct XPathObjectFree {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};

bool hasQualifiedName(const xmlNode* node, const char* name)
{
    const char* local = reinterpret_cast<const char*>(node->name);
    if (node->ns && node->ns->prefix)
        return false;  // "dc:title" is a different name from "title"
    return local && qstrcmp(local, name) == 0;
}

const xmlNode* firstChildElement(const xmlNode* node, const char* name)
{
    for (const xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && hasQualifiedName(child, name))
            return child;
    }
    return nullptr;
}

std::optional<QString> stringValue(const xmlNode* element)
{
    if (!element)
        return std::nullopt;
    xmlChar* content = xmlNodeGetContent(element);
    QString text = QString::fromUtf8(reinterpret_cast<const char*>(content));
    xmlFree(content);
    return text;
}

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

struct Refusal
{
    QString reason;
};

void logRefusal(const QString& reason)
{
    qCWarning(lcFeedParser).noquote() << "Failed to read rss document with error:" << reason;
}

QString describeError(const xmlError& error, const ParseState& state)
{
    QString message = error.message ? oneLine(QString::fromUtf8(error.message)) : QString();
    if (message.isEmpty())
        message = oneLine(state.genericText);
    if (message.isEmpty())
        message = QStringLiteral("unknown error");
    // One-pass arg(): the message may itself contain "%1".
    return QStringLiteral("%1 (code %2, line %3, column %4)")
        .arg(message, QString::number(error.code), QString::number(error.line),
             QString::number(error.int2));
}

// The document, or the one-line reason it was refused.
std::unique_ptr<xmlDoc, DocFree> readDocument(const QByteArray& input, QString& reason)
{
    if (input.size() > feedSizeLimit) {
        reason = QStringLiteral("document larger than %1 bytes").arg(feedSizeLimit);
        return nullptr;
    }
    QByteArray data = input;
    const char* encoding = nullptr;
    int options = XML_PARSE_NONET;
    if (const auto marked = markedEncoding(input)) {
        // The mark decides: the text goes to libxml2 as UTF-8 and the declaration is ignored.
        QStringDecoder decoder(*marked);
        const QString text = decoder.decode(input);
        if (decoder.hasError()) {
            reason = QStringLiteral("bytes that are not %1 after its byte-order mark")
                         .arg(QString::fromLatin1(QStringConverter::nameForEncoding(*marked)));
            return nullptr;
        }
        data = text.toUtf8();
        encoding = "UTF-8";
        options |= XML_PARSE_IGNORE_ENC;
    }

    ParseState state;
    const ErrorChannel channel(&state);
    std::unique_ptr<xmlParserCtxt, ParserFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        reason = QStringLiteral("out of memory");
        return nullptr;
    }
    ctxt->_private = &state;
    ctxt->sax->serror = collectParserError;
    ctxt->sax->resolveEntity = refuseEntity;
    ctxt->sax->externalSubset = ignoreExternalSubset;
    ctxt->sax->getEntity = lookUpEntity;

    // No DTD loading, no entity substitution at parse time (references stay nodes, measured
    // below before anything expands them), no network, libxml2's default limits (no
    // XML_PARSE_HUGE); well-formedness is required.
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), data.constData(), static_cast<int>(data.size()), nullptr, encoding, options));
    if (!doc) {
        reason = describeError(ctxt->lastError, state);
        return nullptr;
    }
    if (!state.unresolvedEntity.isEmpty()) {
        reason = QStringLiteral("entity '%1' is not defined").arg(QString::fromUtf8(state.unresolvedEntity));
        return nullptr;
    }
    ExpansionMeter meter(feedSizeLimit);
    const qint64 expanded = meter.list(doc->children);
    if (!meter.externalEntity.isEmpty()) {
        reason = QStringLiteral("entity '%1' is external and never loaded")
                     .arg(QString::fromUtf8(meter.externalEntity));
        return nullptr;
    }
    if (expanded > feedSizeLimit) {
        reason = QStringLiteral("text with its entities expanded is larger than %1 bytes")
                     .arg(feedSizeLimit);
        return nullptr;
    }
    if (state.messageCount > 0)
        qCDebug(lcFeedParser).noquote() << "Read rss document with" << state.messageCount
                                        << "warning(s), the first:" << state.firstMessage;
    return doc;
}

} // namespace

FeedParseResult parseFeed(const QByteArray& data)
{
    ensureLibxmlInitialised();
    FeedParseResult result;
    const auto doc = readDocument(data, result.reason);
    if (!doc) {
        logRefusal(result.reason);
        return result;
    }

    const xmlNode* root = xmlDocGetRootElement(doc.get());
    const bool isRss = root && hasQualifiedName(root, "rss") && !root->ns;
    result.status = isRss ? FeedParseResult::Status::Rss : FeedParseResult::Status::NotRss;
    if (!isRss && root) {
        const QString name = QString::fromUtf8(reinterpret_cast<const char*>(root->name));
        result.reason = root->ns && root->ns->href
            ? QStringLiteral("{%1}%2").arg(QString::fromUtf8(reinterpret_cast<const char*>(root->ns->href)), name)
            : name;
    }

    std::unique_ptr<xmlXPathContext, XPathContextFree> xpath(xmlXPathNewContext(doc.get()));
    if (!xpath) {
        qCWarning(lcFeedParser).noquote() << "Failed to find nodes with error: out of memory";
        return result;
    }
    ParseState state;
    const ErrorChannel channel(&state);
    xpath->error = collectStructured;
    xpath->userData = &state;
    std::unique_ptr<xmlXPathObject, XPathObjectFree> nodes(xmlXPathEvalExpression(
        reinterpret_cast<const xmlChar*>("/rss/channel/item"), xpath.get()));
    if (!nodes) {
        qCWarning(lcFeedParser).noquote()
            << "Failed to find nodes with error:" << describeError(xpath->lastError, state);
        return result;
    }
    if (nodes->type != XPATH_NODESET || !nodes->nodesetval)
        return result;

    const xmlNodeSet* set = nodes->nodesetval;
    result.informations.reserve(set->nodeNr);
    const DateFormatter& dates = DateFormatter::shared();
    for (int i = 0; i < set->nodeNr; ++i) {
        const xmlNode* item = set->nodeTab[i];
        std::optional<QDateTime> date;
        if (const auto text = stringValue(firstChildElement(item, "pubDate")))
            date = dates.dateFromString(*text);
        std::optional<Url> link;
        if (const auto text = stringValue(firstChildElement(item, "link")))
            link = Url::fromString(*text);
        result.informations.append(Information(stringValue(firstChildElement(item, "title")),
                                               stringValue(firstChildElement(item, "category")),
                                               date, link));
    }
    return result;
}
