#include "app/dropped_items.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QMimeDatabase>
#include <QSaveFile>
#include <QUuid>

namespace hf {

namespace {

// The name a file manager suggests for dragged data.
const QString suggestedNameFormat = QStringLiteral("application/x-kde-suggestedfilename");
constexpr qsizetype maximumNameBytes = 120;

QList<QUrl> localFiles(const QMimeData& mime)
{
    QList<QUrl> files;
    if (!mime.hasUrls())
        return files;
    for (const QUrl& url : mime.urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            files << url;
    return files;
}

// The first format of the drag that is movie data.
std::optional<QString> movieFormat(const QMimeData& mime)
{
    const QStringList formats = mime.formats();
    for (const QString& format : formats)
        if (format.startsWith(QLatin1String("video/")))
            return format;
    return std::nullopt;
}

// Cuts `stem` so that stem + extension fit in the byte bound, never inside a character.
QString boundedName(QString stem, const QString& extension)
{
    const qsizetype room = maximumNameBytes - extension.toUtf8().size();
    if (room <= 0)
        return QString();
    while (!stem.isEmpty() && stem.toUtf8().size() > room)
        stem.chop(stem.size() >= 2 && stem.at(stem.size() - 1).isLowSurrogate() ? 2 : 1);
    return stem.isEmpty() ? QString() : stem + extension;
}

} // namespace

bool dragHasImportableItems(const QMimeData& mime)
{
    return !localFiles(mime).isEmpty() || movieFormat(mime).has_value();
}

int dragItemCount(const QMimeData& mime)
{
    return std::max<int>(1, static_cast<int>(localFiles(mime).size()));
}

std::vector<DroppedItem> droppedItems(const QMimeData& mime)
{
    std::vector<DroppedItem> items;
    const QList<QUrl> files = localFiles(mime);
    if (!files.isEmpty()) {
        for (const QUrl& file : files)
            items.push_back(DroppedItem{file, {}, {}, {}});
        return items;
    }
    if (const auto format = movieFormat(mime)) {
        DroppedItem item;
        item.mimeType = *format;
        item.data = mime.data(*format);
        item.suggestedName = QString::fromUtf8(mime.data(suggestedNameFormat));
        if (!item.data.isEmpty())
            items.push_back(std::move(item));
    }
    return items;
}

QString safeImportName(const QString& proposed, const QString& fallbackExtension)
{
    const QString fallback = QStringLiteral("Dropped video") + fallbackExtension;
    QString name = proposed;
    // Only the last component of whatever path the name carries.
    const qsizetype separator = std::max(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\'));
    if (separator >= 0)
        name = name.mid(separator + 1);
    QString cleaned;
    cleaned.reserve(name.size());
    for (const QChar c : std::as_const(name))
        if (c.category() != QChar::Other_Control && c.category() != QChar::Other_Format && c != u':')
            cleaned.append(c);
    cleaned = cleaned.trimmed();
    while (cleaned.startsWith(u'.'))
        cleaned.remove(0, 1);
    cleaned = cleaned.trimmed();
    if (cleaned.isEmpty())
        return fallback;

    const QFileInfo info(cleaned);
    const QString suffix = info.suffix();
    // A name without a usable extension takes the data's own, so the copy is known as a movie.
    const bool hasExtension = !suffix.isEmpty() && suffix.size() <= 16;
    const QString extension = hasExtension ? u'.' + suffix : fallbackExtension;
    const QString stem = hasExtension ? cleaned.chopped(extension.size()) : cleaned;
    const QString bounded = boundedName(stem, extension);
    return bounded.isEmpty() ? fallback : bounded;
}

std::optional<QUrl> copyIntoImports(const QString& cachesFolder, const QByteArray& data, const QString& name)
{
    if (cachesFolder.isEmpty())
        return std::nullopt;
    const QString folder = cachesFolder + QStringLiteral("/Imports/")
                           + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (!QDir().mkpath(folder))
        return std::nullopt;
    const QString destination = folder + u'/' + name;
    // The name is a single component by now; a copy never lands outside its folder.
    if (QFileInfo(destination).absolutePath() != QFileInfo(folder).absoluteFilePath())
        return std::nullopt;
    QSaveFile file(destination);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        return std::nullopt;
    return QUrl::fromLocalFile(destination);
}

std::optional<QUrl> loadDroppedItem(const QString& cachesFolder, const DroppedItem& item)
{
    if (item.file)
        return item.file;
    static const QMimeDatabase database;
    const QString suffix = database.mimeTypeForName(item.mimeType).preferredSuffix();
    const QString name = safeImportName(item.suggestedName, suffix.isEmpty() ? QString() : u'.' + suffix);
    return copyIntoImports(cachesFolder, item.data, name);
}

} // namespace hf
