#pragma once

// What a drag brings to the main window: files (their locations), or raw movie data offered
// without a file, which is copied into the imports folder (<caches>/Imports/<UUID>/<name>) so it
// can be opened like any file. Names that come with drag data are made safe before they are used.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>
#include <vector>

class QMimeData;

namespace hf {

// One item of a drop: a file's location, or movie data with the name it was offered under.
struct DroppedItem {
    std::optional<QUrl> file;
    QByteArray data;
    QString mimeType;
    QString suggestedName;
};

// Whether the drag carries files or movie data the window takes.
bool dragHasImportableItems(const QMimeData& mime);
// The number of items the drop label counts: the files, or 1 for movie data; never below 1.
int dragItemCount(const QMimeData& mime);
// The items of a drop, in the drag's order. Must run while the drop event is delivered (the data
// is gone afterwards).
std::vector<DroppedItem> droppedItems(const QMimeData& mime);

// A file name fit for the imports folder, made from a name that came with drag data: only its
// last path component, no control characters, no leading dots, not "." or "..", at most 120
// bytes in UTF-8 (keeping the extension). A name without an extension takes `fallbackExtension`
// (which includes its dot, or is empty); empty or unusable names give "Dropped video" with it.
QString safeImportName(const QString& proposed, const QString& fallbackExtension);

// Writes `data` to <cachesFolder>/Imports/<UUID>/<safe name> and returns its location; none
// when the folder or the file cannot be written (a folder already made stays).
std::optional<QUrl> copyIntoImports(const QString& cachesFolder, const QByteArray& data, const QString& name);

// Loads one item: a file's location as it is, or the copy of its data in the imports folder.
std::optional<QUrl> loadDroppedItem(const QString& cachesFolder, const DroppedItem& item);

} // namespace hf
