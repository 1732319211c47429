// libFuzzer target: the update feed. Whatever the bytes, parsing ends; every item it yields has a
// version and an absolute web link to open; an error text is one line that never quotes the feed;
// versions compare as an order.
#include "FuzzTarget.h"
#include "app/UpdateFeed.h"

namespace {

void fuzzOne(std::string_view input)
{
    const QByteArray feed(input.data(), static_cast<qsizetype>(input.size()));
    const auto items = parlomatic::app::parseUpdateFeed(feed);
    if (!items) {
        // One short line of ours: the reader's own texts quote names of any length from the feed.
        require(items.error().size() <= 60);
        for (const QChar c : items.error()) {
            require(c.isPrint());
        }
        return;
    }
    const QString current = QStringLiteral("1.9.0");
    for (const auto& item : *items) {
        require(!item.version.isEmpty());
        require(item.downloadURL.isValid() && !item.downloadURL.isRelative());
        require(item.downloadURL.scheme() == QLatin1String("https") ||
                item.downloadURL.scheme() == QLatin1String("http"));
        require(parlomatic::app::compareVersions(item.version, item.version) == 0);
        require(parlomatic::app::compareVersions(item.version, current) ==
                -parlomatic::app::compareVersions(current, item.version));
    }
}

} // namespace
