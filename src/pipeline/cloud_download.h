#pragma once

// Streams one file from a web address to disk.

#include "platform/network.h"

#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <stop_token>

namespace hf {

// Fetches `url` with a plain GET (no token, no cookies, no header of ours) into `destination`.
// The body streams into a temporary file beside the destination that replaces it only when all
// of it arrived with a 2xx status; otherwise the destination is left as it was and nothing else
// remains. Memory stays bounded whatever the size.
// Returns the HTTP status (0 when the answer was not HTTP). Throws APIError::network for a
// transport failure (also a 2xx body cut short), FileSystemError when the file cannot be written,
// hf::Cancelled when `stop` is requested. `limits` bound the whole transfer (a download slower
// than their rate fails as a network failure). `progress`, when given, is called on the calling
// thread as a 2xx body arrives, with the bytes written so far and the body's whole length (-1
// when the answer does not state it, or states it for a compressed body).
using DownloadProgress = std::function<void(qint64 written, qint64 total)>;
QCoro::Task<int> downloadToFile(QNetworkAccessManager* session, QUrl url, QString destination,
                                std::stop_token stop = {},
                                std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                ReplyLimits limits = {}, DownloadProgress progress = {});

} // namespace hf
