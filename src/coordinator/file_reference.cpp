#include "coordinator/file_reference.h"

#include <QDir>
#include <QFileInfo>

namespace hf {

FileReference FileReference::fromJson(const json::ObjectReader& in)
{
    FileReference reference;
    reference.cachesPath = in.optional<QString>(QStringLiteral("cachesPath"));
    if (auto text = in.optional<QString>(QStringLiteral("bookmark"))) {
        auto decoded = QByteArray::fromBase64Encoding(text->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            throw DecodingError(DecodingError::Kind::dataCorrupted,
                                json::joinPath(in.path(), QStringLiteral("bookmark")),
                                QStringLiteral("Not valid Base64"));
        reference.bookmark = *decoded;
    }
    reference.absolutePath = in.optional<QString>(QStringLiteral("absolutePath"));
    return reference;
}

void FileReference::toJson(json::ObjectWriter& out) const
{
    out.put(QStringLiteral("cachesPath"), cachesPath);
    if (bookmark)
        out.put(QStringLiteral("bookmark"), QString::fromLatin1(bookmark->toBase64()));
    out.put(QStringLiteral("absolutePath"), absolutePath);
}

QString resolvedFilePath(const QString& path)
{
    const QString clean = QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    // Resolve the deepest part that exists; keep the rest as written.
    QString existing = clean;
    QStringList rest;
    while (true) {
        const QFileInfo info(existing);
        const QString canonical = info.canonicalFilePath();
        if (!canonical.isEmpty())
            return rest.isEmpty() ? canonical : QDir::cleanPath(canonical + u'/' + rest.join(u'/'));
        const QString parent = info.path();
        if (parent == existing || existing.isEmpty())
            return clean;
        rest.prepend(info.fileName());
        existing = parent;
    }
}

namespace {

QString folderRoot(const QString& folder)
{
    QString root = resolvedFilePath(folder);
    if (!root.endsWith(u'/'))
        root += u'/';
    return root;
}

} // namespace

bool isInsideFolder(const QString& path, const QString& folder)
{
    if (folder.isEmpty())
        return false;
    const QString root = folderRoot(folder);
    const QString resolved = resolvedFilePath(path);
    return resolved.size() > root.size() && resolved.startsWith(root);
}

FileReference fileReference(const QUrl& location, const QString& cachesFolder)
{
    FileReference reference;
    if (!location.isLocalFile())
        return reference;   // leads nowhere
    const QString path = resolvedFilePath(location.toLocalFile());
    if (!cachesFolder.isEmpty()) {
        const QString root = folderRoot(cachesFolder);
        if (path.size() > root.size() && path.startsWith(root)) {
            reference.cachesPath = path.mid(root.size());
            return reference;
        }
    }
    reference.absolutePath = path;
    return reference;
}

std::optional<QUrl> resolveFileReference(const FileReference& reference, const QString& cachesFolder)
{
    if (reference.cachesPath) {
        const QString& relative = *reference.cachesPath;
        if (relative.isEmpty() || relative.startsWith(u'/') || cachesFolder.isEmpty()
            || relative.split(u'/').contains(QStringLiteral("..")))
            return std::nullopt;
        const QString candidate = cachesFolder + u'/' + relative;
        if (!isInsideFolder(candidate, cachesFolder))
            return std::nullopt;
        return QUrl::fromLocalFile(candidate);
    }
    // A bookmark carries nothing this platform can open; its absolute path stands in for it.
    if (reference.absolutePath && QDir::isAbsolutePath(*reference.absolutePath))
        return QUrl::fromLocalFile(*reference.absolutePath);
    return std::nullopt;
}

} // namespace hf
