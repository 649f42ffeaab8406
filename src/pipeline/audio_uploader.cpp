#include "pipeline/audio_uploader.h"

#include "backend/api_error.h"
#include "platform/async.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace hf {

HF_LOGGING_CATEGORY(lcAudioUploader, "AudioUploader")

QString UploadError::localizedDescription() const
{
    switch (m_case) {
    case Case::rejected:
        if (m_status == 507)
            return serverOutOfSpaceText();
        return text("error.upload.rejected", "The upload was rejected (HTTP %lld). Please try again.", {m_status});
    case Case::interrupted:
        return text("error.upload.interrupted", "The upload was interrupted: %@", {m_message});
    }
    return {};
}

QCoro::Task<void> URLSessionUploader::upload(QUrl fileURL, UploadInstruction instruction, Progress progress,
                                             std::stop_token stop)
{
    throwIfStopped(stop);
    // Only web addresses: the instruction comes from the server and must not point at a local file
    // or another scheme.
    if (!isWebUrl(instruction.url))
        throw UploadError::interrupted(text("error.network.unsupportedURL", "unsupported URL"));

    auto* file = new QFile(fileURL.toLocalFile());
    if (!fileURL.isLocalFile() || !file->open(QIODevice::ReadOnly)) {
        const QString reason = fileURL.isLocalFile() ? file->errorString()
                                                     : text("error.network.fileNotLocal", "The file is not a local file.");
        delete file;
        throw UploadError::interrupted(reason);
    }

    QNetworkRequest request(instruction.url);
    request.setTransferTimeout(static_cast<int>(m_timeout.count()));
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // Stream the file from disk; never hold it in memory.
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    for (auto it = instruction.headers.cbegin(); it != instruction.headers.cend(); ++it)
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());

    QNetworkReply* reply = m_session->sendCustomRequest(request, instruction.method.toUtf8(), file);
    // The file lives exactly as long as the request that reads it.
    file->setParent(reply);
    ReplyHolder holder(reply);
    // Fractions below 1 only: 1.0 is the success report, made once the target has accepted.
    QObject::connect(reply, &QNetworkReply::uploadProgress, reply, [progress](qint64 sent, qint64 total) {
        if (total >= 1 && sent < total && progress)
            progress(static_cast<double>(sent) / static_cast<double>(total));
    });

    co_await awaitReply(reply, stop);

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        if (code < 200 || code > 299) {
            qCInfo(lcAudioUploader, "Upload rejected with HTTP %d", code);
            throw UploadError::rejected(code);
        }
        holder.reset();
        if (progress)
            progress(1.0);
        co_return;
    }
    // Our own stop surfaced above as hf::Cancelled, so an aborted request here is the timeout.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        throw UploadError::interrupted(text("error.network.timedOut", "The request timed out."));
    if (reply->error() != QNetworkReply::NoError)
        throw UploadError::interrupted(reply->errorString());
    throw UploadError::rejected(0);
}

} // namespace hf
