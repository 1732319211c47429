// libFuzzer target: the update feed. Whatever the bytes, parsing ends; every item it yields has a
// version and an absolute web link to open; an error text is one line that never quotes the feed;
// versions compare as an order.
#include "app/UpdateFeed.h"

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray feed(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto items = parlomatic::parseUpdateFeed(feed);
    if (!items) {
        // One short line of ours: the reader's own texts quote names of any length from the feed.
        require(items.error().size() <= 60);
        for (const QChar c : items.error()) {
            require(c.isPrint());
        }
        return 0;
    }
    const QString current = QStringLiteral("1.9.0");
    for (const auto& item : *items) {
        require(!item.version.isEmpty());
        require(item.downloadUrl.isValid() && !item.downloadUrl.isRelative());
        require(item.downloadUrl.scheme() == QLatin1String("https") ||
                item.downloadUrl.scheme() == QLatin1String("http"));
        require(parlomatic::compareVersions(item.version, item.version) == 0);
        require(parlomatic::compareVersions(item.version, current) ==
                -parlomatic::compareVersions(current, item.version));
    }
    return 0;
}
