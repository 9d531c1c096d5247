#include "feed/feedparser.h"

#include <QLoggingCategory>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <climits>
#include <memory>
#include <mutex>

Q_LOGGING_CATEGORY(lcFeedParser, "newsbar.feed.parser")

namespace {

void ensureLibxmlInitialised()
{
    // Must happen once before any thread uses the parser.
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

// Errors are reported through the context's last error; nothing goes to stderr.
void ignoreStructuredError(void*, xmlErrorPtr) {}

// Refuses every external entity and DTD, whatever the options say.
xmlParserInputPtr refuseEntity(void*, const xmlChar*, const xmlChar*)
{
    return nullptr;
}
void ignoreExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

QString describeError(const xmlError& error)
{
    QString message = error.message ? QString::fromUtf8(error.message).trimmed()
                                     : QStringLiteral("unknown error");
    // One-pass arg(): the message may itself contain "%1".
    return QStringLiteral("%1 (code %2, line %3, column %4)")
        .arg(message, QString::number(error.code), QString::number(error.line),
             QString::number(error.int2));
}

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

std::unique_ptr<xmlDoc, DocFree> readDocument(const QByteArray& data)
{
    std::unique_ptr<xmlParserCtxt, ParserFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        qCWarning(lcFeedParser).noquote()
            << "Failed to read rss document with error: out of memory";
        return nullptr;
    }
    ctxt->sax->serror = ignoreStructuredError;
    ctxt->sax->resolveEntity = refuseEntity;
    ctxt->sax->externalSubset = ignoreExternalSubset;

    if (data.size() > INT_MAX) {
        qCWarning(lcFeedParser).noquote()
            << "Failed to read rss document with error: document too large";
        return nullptr;
    }
    // Options 0: no DTD loading, no entity substitution at parse time, no network, default
    // expansion limits (no XML_PARSE_HUGE); well-formedness is required.
    std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), data.constData(), static_cast<int>(data.size()), nullptr, nullptr, 0));
    if (!doc) {
        qCWarning(lcFeedParser).noquote()
            << "Failed to read rss document with error:" << describeError(ctxt->lastError);
        return nullptr;
    }
    return doc;
}

} // namespace

FeedParseResult parseFeed(const QByteArray& data)
{
    ensureLibxmlInitialised();
    FeedParseResult result;
    const auto doc = readDocument(data);
    if (!doc)
        return result;

    const xmlNode* root = xmlDocGetRootElement(doc.get());
    const bool isRss = root && hasQualifiedName(root, "rss") && !root->ns;
    result.status = isRss ? FeedParseResult::Status::Rss : FeedParseResult::Status::NotRss;

    std::unique_ptr<xmlXPathContext, XPathContextFree> xpath(xmlXPathNewContext(doc.get()));
    if (!xpath) {
        qCWarning(lcFeedParser).noquote() << "Failed to find nodes with error: out of memory";
        return result;
    }
    xpath->error = ignoreStructuredError;
    std::unique_ptr<xmlXPathObject, XPathObjectFree> nodes(xmlXPathEvalExpression(
        reinterpret_cast<const xmlChar*>("/rss/channel/item"), xpath.get()));
    if (!nodes) {
        qCWarning(lcFeedParser).noquote()
            << "Failed to find nodes with error:" << describeError(xpath->lastError);
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
