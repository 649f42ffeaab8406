#include "pipeline/audio_uploader.h"

#include "backend/api_error.h"
#include "platform/async.h"
#include "platform/logging.h"
#include "platform/texts.h"

#include "pipeline/media_progress.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

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

namespace {

// What one upload needs on its worker thread; read on the main thread before it goes.
struct Transfer {
    QString path;
    UploadInstruction instruction;
    QNetworkProxy proxy;
    std::chrono::milliseconds timeout;
};

// What came of it: the answer's status (0: the answer was not HTTP), or why there was none.
struct TransferOutcome {
    int status = 0;
    std::optional<QString> failure;
};

constexpr qint64 kChunk = 1024 * 1024;      // read from the file at once
constexpr qint64 kInFlight = 4 * 1024 * 1024;  // written to the socket and not yet sent
constexpr int kPollMs = 50;                 // how often a wait looks at the stop and the clock

// The request line and headers: exactly the instruction's headers, with the length of the body.
QByteArray requestHead(const UploadInstruction& instruction, qint64 length)
{
    const QUrl& url = instruction.url;
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int defaultPort = url.scheme() == u"https" ? 443 : 80;
    if (url.port(defaultPort) != defaultPort)
        host += ':' + QByteArray::number(url.port());
    QByteArray head = instruction.method.toLatin1() + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (auto it = instruction.headers.cbegin(); it != instruction.headers.cend(); ++it) {
        const QByteArray name = it.key().toLatin1();
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0 || name.compare("Host", Qt::CaseInsensitive) == 0
            || name.compare("Connection", Qt::CaseInsensitive) == 0)
            continue;
        head += name + ": " + it.value().toUtf8() + "\r\n";
    }
    head += "Content-Length: " + QByteArray::number(length) + "\r\nConnection: close\r\n\r\n";
    return head;
}

// The status of an answer's first line ("HTTP/1.1 204 No Content"); 0 when it is not HTTP.
int statusOf(const QByteArray& answer)
{
    const qsizetype end = answer.indexOf("\r\n");
    const QList<QByteArray> parts = answer.left(end).split(' ');
    if (parts.size() < 2 || !parts[0].startsWith("HTTP/1."))
        return 0;
    bool ok = false;
    const int status = parts[1].toInt(&ok);
    return ok ? status : 0;
}

// Sends the file as the request's body and reads the answer's status, on a worker thread with
// blocking waits. Gives up after `timeout` without progress, and within kPollMs of a stop.
TransferOutcome transfer(const Transfer& t, const AudioUploading::Progress& progress, std::stop_token stop)
{
    QFile file(t.path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {0, file.errorString()};
    const qint64 total = file.size();
    // A plain address never touches the TLS backend, which is loaded on the main thread only.
    const bool secure = t.instruction.url.scheme() == u"https";
    QSslSocket* tls = nullptr;
    std::unique_ptr<QTcpSocket> connection;
    if (secure)
        connection.reset(tls = new QSslSocket);
    else
        connection = std::make_unique<QTcpSocket>();
    QTcpSocket& socket = *connection;
    socket.setProxy(t.proxy);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString host = t.instruction.url.host();
    const quint16 port = quint16(t.instruction.url.port(secure ? 443 : 80));
    if (tls)
        tls->connectToHostEncrypted(host, port);
    else
        socket.connectToHost(host, port);

    auto idleSince = std::chrono::steady_clock::now();
    const auto timedOut = [&] { return std::chrono::steady_clock::now() - idleSince > t.timeout; };
    const TransferOutcome timeout{0, text("error.network.timedOut", "The request timed out.")};
    const auto failed = [&] { return TransferOutcome{0, socket.errorString()}; };
    const auto checkStop = [&] {
        if (stop.stop_requested()) {
            socket.abort();
            throw Cancelled();
        }
    };

    // A connection attempt ends when its wait does, so it gets the whole time-out at once (a stop
    // is noticed after it).
    if (!socket.waitForConnected(int(t.timeout.count())))
        return socket.error() == QAbstractSocket::SocketTimeoutError ? timeout : failed();
    checkStop();
    while (tls && !tls->isEncrypted()) {
        checkStop();
        if (!tls->waitForEncrypted(kPollMs) && socket.error() != QAbstractSocket::SocketTimeoutError)
            return failed();
        if (timedOut())
            return timeout;
    }
    idleSince = std::chrono::steady_clock::now();

    socket.write(requestHead(t.instruction, total));
    QByteArray chunk(kChunk, Qt::Uninitialized);
    qint64 read = 0;
    // The target may answer (a refusal) before it has read the body, and close: the answer counts.
    bool answeredEarly = false;
    // What the target has taken so far, told again while it takes nothing more: the reports are
    // thinned out, and the last one before a stall must not be the one that is lost.
    // All of it taken is still short of done (1.0) until the target has answered.
    const auto reportSent = [&] {
        if (progress && total > 0)
            progress(std::min(double(read - socket.bytesToWrite()) / double(total), 0.999));
    };
    // Waits until more of what was written is sent, or an answer came early; none until the
    // time-out passes without progress.
    const auto sendSome = [&]() -> std::optional<TransferOutcome> {
        reportSent();
        checkStop();
        if (socket.waitForBytesWritten(kPollMs))
            idleSince = std::chrono::steady_clock::now();
        else if (socket.bytesAvailable() > 0 || socket.state() != QAbstractSocket::ConnectedState)
            answeredEarly = true;
        else if (timedOut())
            return timeout;
        return std::nullopt;
    };
    while (read < total && !answeredEarly) {
        if (socket.bytesToWrite() < kInFlight) {
            const qint64 got = file.read(chunk.data(), std::min(kChunk, total - read));
            if (got <= 0)
                return {0, file.errorString()};
            read += got;
            socket.write(chunk.constData(), got);
        } else if (auto failure = sendSome()) {
            return *failure;
        }
        reportSent();
    }
    while (socket.bytesToWrite() > 0 && !answeredEarly)
        if (auto failure = sendSome())
            return *failure;

    // The answer's head; its body is not needed.
    QByteArray answer;
    idleSince = std::chrono::steady_clock::now();
    for (;;) {
        answer += socket.readAll();
        // An interim answer ("100 Continue") comes before the real one.
        while (answer.contains("\r\n\r\n") && statusOf(answer) >= 100 && statusOf(answer) < 200)
            answer.remove(0, answer.indexOf("\r\n\r\n") + 4);
        if (answer.contains("\r\n\r\n"))
            break;
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0) {
            if (answer.isEmpty())
                return failed();
            break;
        }
        reportSent();
        checkStop();
        if (socket.waitForReadyRead(kPollMs))
            idleSince = std::chrono::steady_clock::now();
        else if (timedOut())
            return timeout;
    }
    socket.abort();
    return {statusOf(answer), std::nullopt};
}

} // namespace

QCoro::Task<void> URLSessionUploader::upload(QUrl fileURL, UploadInstruction instruction, Progress progress,
                                             std::stop_token stop)
{
    throwIfStopped(stop);
    // Only web addresses: the instruction comes from the server and must not point at a local file
    // or another scheme.
    if (!isWebUrl(instruction.url))
        throw UploadError::interrupted(text("error.network.unsupportedURL", "unsupported URL"));
    if (!fileURL.isLocalFile())
        throw UploadError::interrupted(text("error.network.fileNotLocal", "The file is not a local file."));

    // The body goes out from a worker thread of its own, read from disk in large pieces straight
    // onto the socket (the file is never held in memory). Qt's network stack hands a body from
    // the requesting thread to its own in 16 KB pieces, each a round trip between two event
    // loops: that cost several times curl's CPU time and about half its speed.
    const Transfer t{fileURL.toLocalFile(), instruction, m_session ? m_session->proxy() : QNetworkProxy(), m_timeout};
    // Qt loads its TLS backend on first use, and that loading is not safe against the network
    // manager's own use of it on this thread: it is done here, before any worker needs it.
    if (instruction.url.scheme() == u"https")
        QSslSocket::supportsSsl();
    // Fractions below 1 only, on the main thread, in order: 1.0 is the success report, made once
    // the target has accepted.
    const MediaProgress reports = progress ? progressOnThreadOf(QCoreApplication::instance(), [progress](double f) {
        if (f < 1.0)
            progress(f);
    })
                                           : MediaProgress{};
    auto sending = runOffThread(stop, [t, reports, stop] { return transfer(t, reports, stop); });
    const TransferOutcome outcome = co_await std::move(sending);
    if (outcome.failure)
        throw UploadError::interrupted(*outcome.failure);
    if (outcome.status < 200 || outcome.status > 299) {
        qCInfo(lcAudioUploader, "Upload rejected with HTTP %d", outcome.status);
        throw UploadError::rejected(outcome.status);
    }
    if (progress)
        progress(1.0);
}

} // namespace hf
