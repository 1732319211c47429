#include "app/UpdateFeed.h"

#include <QXmlStreamReader>

#include <algorithm>
#include <optional>
#include <utility>

namespace parlomatic::app {
namespace {

long long leadingNumber(QStringView component)
{
    long long value = 0;
    for (const QChar c : component) {
        if (!c.isDigit() || value > 1'000'000'000'000LL) {
            break;
        }
        value = value * 10 + c.digitValue();
    }
    return value;
}

// A link the user's browser may be asked to open: an absolute http or https URL. Nothing else from a
// feed (a local file, another program's URL scheme, our own sign-in scheme) is ever opened.
QUrl webLink(const QString& text)
{
    QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        url.clear();
    }
    return url;
}

// The reader's own texts quote the feed (entity and encoding names); ours never do.
QString describeError(const QXmlStreamReader& xml)
{
    QString kind;
    switch (xml.error()) {
    case QXmlStreamReader::PrematureEndOfDocumentError:
        kind = QStringLiteral("the document ends early");
        break;
    case QXmlStreamReader::UnexpectedElementError:
        kind = QStringLiteral("an unexpected element");
        break;
    default:
        kind = QStringLiteral("not well-formed XML");
        break;
    }
    return QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(kind);
}

// The feed's elements of one item, read until its end tag.
std::optional<UpdateItem> readItem(QXmlStreamReader& xml)
{
    UpdateItem item;
    QUrl link;
    while (xml.readNextStartElement()) {
        const auto name = xml.name();
        if (name == QLatin1String("version")) {
            item.version = xml.readElementText().trimmed();
        } else if (name == QLatin1String("link")) {
            link = webLink(xml.readElementText());
        } else if (name == QLatin1String("enclosure")) {
            for (const auto& attribute : xml.attributes()) {
                if (attribute.name() == QLatin1String("url")) {
                    item.downloadURL = webLink(attribute.value().toString());
                } else if (attribute.name() == QLatin1String("version") && item.version.isEmpty()) {
                    item.version = attribute.value().toString().trimmed();
                }
            }
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    if (item.downloadURL.isEmpty()) {
        item.downloadURL = link;
    }
    if (item.version.isEmpty() || item.downloadURL.isEmpty()) {
        return std::nullopt;
    }
    return item;
}

} // namespace

int compareVersions(QStringView left, QStringView right)
{
    const auto a = left.split(QLatin1Char('.'));
    const auto b = right.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const long long x = i < a.size() ? leadingNumber(a[i]) : 0;
        const long long y = i < b.size() ? leadingNumber(b[i]) : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

std::expected<std::vector<UpdateItem>, QString> parseUpdateFeed(const QByteArray& feed)
{
    QXmlStreamReader xml(feed);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("rss")) {
        return std::unexpected(xml.hasError() ? describeError(xml) : QStringLiteral("the document is not RSS"));
    }
    std::vector<UpdateItem> items;
    bool sawChannel = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("channel")) {
            xml.skipCurrentElement();
            continue;
        }
        sawChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("item")) {
                if (auto item = readItem(xml)) {
                    items.push_back(std::move(*item));
                }
            } else {
                xml.skipCurrentElement();
            }
        }
    }
    if (xml.hasError()) {
        return std::unexpected(describeError(xml));
    }
    if (!sawChannel) {
        return std::unexpected(QStringLiteral("the feed has no channel"));
    }
    return items;
}

} // namespace parlomatic::app
