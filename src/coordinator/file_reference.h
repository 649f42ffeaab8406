#pragma once

// The persisted form of a file location in the recent videos: the application's own working files
// (under the caches folder) are kept as a path relative to that folder, so they are found again
// when the folder moves; any other file is kept by its absolute path.
//
// There are no security-scoped bookmarks on this platform: files are opened with the user's own
// permissions, so a reference is never written with a bookmark. A bookmark in stored data still
// decodes (and is written back unchanged), and resolves as the absolute path stored beside it.

#include "platform/json.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace hf {

struct FileReference {
    std::optional<QString> cachesPath;    // relative to the caches folder, no leading "/"
    std::optional<QByteArray> bookmark;   // opaque; stored as standard Base64
    std::optional<QString> absolutePath;

    static FileReference fromJson(const json::ObjectReader& in);
    void toJson(json::ObjectWriter& out) const;
    bool operator==(const FileReference&) const = default;
};

// The absolute path of `path` with its "." and ".." components removed and every symbolic link in
// it resolved. The part of the path that does not exist is kept as written.
QString resolvedFilePath(const QString& path);

// Whether `path` lies inside `folder` (not the folder itself), both compared as resolvedFilePath.
bool isInsideFolder(const QString& path, const QString& folder);

// The reference of a file location: `cachesPath` when the file lies inside `cachesFolder`,
// otherwise `absolutePath`. Exactly one field is set (none for a location that is not a file).
FileReference fileReference(const QUrl& location, const QString& cachesFolder);

// The location a reference leads to, or none. Does not check that a file exists there.
// `cachesPath` takes precedence, then `bookmark` (through its absolute path), then `absolutePath`.
// A caches path that is absolute, contains "..", or resolves (through links) outside the caches
// folder leads nowhere: stored data must not point the application at files it does not own.
std::optional<QUrl> resolveFileReference(const FileReference& reference, const QString& cachesFolder);

} // namespace hf
