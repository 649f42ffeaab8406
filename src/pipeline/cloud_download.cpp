#include "pipeline/cloud_download.h"

#include "backend/api_error.h"
#include "pipeline/media_error.h"
#include "platform/async.h"
#include "platform/texts.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

#include <memory>

namespace hf {

namespace {

constexpr qint64 chunkBytes = 256 * 1024;
constexpr qint64 readBufferBytes = 1024 * 1024;

bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// The body's length as the answer states it; -1 when it does not, or states the length of a
// compressed body (which is not what is written).
qint64 announcedLength(QNetworkReply* reply)
{
    bool announced = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
    return announced && reply->rawHeader("Content-Encoding").isEmpty() ? length : -1;
}

// Where the body goes. Only a 2xx body is written; anything else is read and dropped.
struct Sink {
    explicit Sink(const QString& destination, DownloadProgress onProgress)
        : file(destination), progress(std::move(onProgress))
    {
    }
    QSaveFile file;
    DownloadProgress progress;
    bool writeFailed = false;
    QString writeError;
    qint64 written = 0;

    void drain(QNetworkReply* reply)
    {
        // After a failed write the reply was aborted and closed: nothing more to read.
        if (writeFailed || !reply->isOpen())
            return;
        const bool keep = isSuccess(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        const qint64 before = written;
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(chunkBytes);
            if (chunk.isEmpty())
                break;
            if (!keep)
                continue;
            if (file.write(chunk) != chunk.size()) {
                writeFailed = true;
                writeError = file.errorString();
                reply->abort();
                return;
            }
            written += chunk.size();
        }
        if (progress && written > before)
            progress(written, announcedLength(reply));
    }
};

QString timedOutText()
{
    return text("error.network.timedOut", "The request timed out.");
}

} // namespace

QCoro::Task<int> downloadToFile(QNetworkAccessManager* session, QUrl url, QString destination, std::stop_token stop,
                                std::chrono::milliseconds timeout, ReplyLimits limits, DownloadProgress progress)
{
    throwIfStopped(stop);
    auto sink = std::make_shared<Sink>(destination, std::move(progress));
    // Never write into the destination itself: a failure must not leave half a file there.
    sink->file.setDirectWriteFallback(false);
    if (!sink->file.open(QIODevice::WriteOnly))
        throw FileSystemError(sink->file.errorString());

    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QNetworkReply* reply = session->get(request);
    // The transfer pauses while this much is unread.
    limitReadBuffer(reply, readBufferBytes);
    ReplyHolder holder(reply);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [sink, reply] { sink->drain(reply); });
    const auto watch = watchReply(reply, limits);

    // A stop aborts the transfer; the unfinished temporary file goes with `sink`.
    co_await awaitReply(reply, stop);
    sink->drain(reply);
    if (watch->breach() == ReplyWatch::Breach::tooSlow)
        throw APIError::tooSlow();
    if (watch->breach() != ReplyWatch::Breach::none)
        throw APIError::network(timedOutText());

    if (sink->writeFailed)
        throw FileSystemError(sink->writeError);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !isSuccess(status.toInt()))
        co_return status.toInt();
    if (reply->error() == QNetworkReply::OperationCanceledError)
        throw APIError::network(timedOutText());
    // A connection that failed once the answer had begun was cut off by the server's side: the
    // server was reached.
    if (reply->error() != QNetworkReply::NoError)
        throw status.isValid() ? APIError::cutOff(reply->errorString()) : APIError::network(reply->errorString());
    if (!status.isValid())
        co_return 0;
    // A body shorter than its announced length was cut off, even where the transport let the
    // early close pass as the end (a compressed body announces its compressed length).
    const qint64 length = announcedLength(reply);
    if (length >= 0 && sink->written != length)
        throw APIError::cutOff(text("error.network.cutOff", "The connection closed before the download was complete."));
    if (!sink->file.commit())
        throw FileSystemError(sink->file.errorString());
    co_return status.toInt();
}

} // namespace hf
