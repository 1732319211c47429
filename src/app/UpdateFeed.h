#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QUrl>

#include <expected>
#include <vector>

namespace parlomatic::app {

// One release announced by the update feed.
struct UpdateItem {
    QString version;
    QUrl downloadURL;
};

// Compares version texts component by component as numbers: "1.10" is newer than "1.9" and "1.2"
// equals "1.2.0". A component counts by its leading digits (none: 0). Negative, zero or positive.
int compareVersions(QStringView left, QStringView right);

// The items of an RSS 2.0 feed. An item's version is its element named "version" (in any
// namespace) or its enclosure's "version" attribute; its download link is the enclosure's "url",
// else its <link>, either only when it is an absolute http or https URL. Items without a version or
// such a link are skipped. An error text (never feed
// content) when the document is not well-formed RSS 2.0.
std::expected<std::vector<UpdateItem>, QString> parseUpdateFeed(const QByteArray& feed);

} // namespace parlomatic::app
