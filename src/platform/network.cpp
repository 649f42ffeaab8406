#include "platform/network.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QTimer>

#include <zlib.h>

namespace hf {
namespace {

// A cookie jar that accepts nothing and offers nothing.
class NoCookies final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

} // namespace

QNetworkAccessManager* makeEphemeralNetworkSession(QObject* parent, std::chrono::milliseconds idleTimeout)
{
    auto* session = new QNetworkAccessManager(parent);
    session->setCookieJar(new NoCookies(session));
    session->setTransferTimeout(static_cast<int>(idleTimeout.count()));
    session->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
    return session;
}

struct BoundedBody::Inflater {
    z_stream stream{};
    bool begun = false;
    bool ended = false;
};

bool BoundedBody::unfinished() const
{
    return m_inflater && m_inflater->begun && !m_inflater->ended && !tooLarge() && !m_undecodable;
}

BoundedBody::BoundedBody(QByteArrayView encoding, qint64 bound) : m_bound(bound)
{
    const QByteArray name = encoding.toByteArray().trimmed().toLower();
    if (name.isEmpty() || name == "identity")
        return;
    if (name != "gzip" && name != "x-gzip" && name != "deflate") {
        m_undecodable = true;
        return;
    }
    m_inflater = std::make_unique<Inflater>();
    // 32 added to the window size reads the gzip and the zlib wrapper alike.
    if (inflateInit2(&m_inflater->stream, 15 + 32) != Z_OK) {
        m_inflater.reset();
        m_undecodable = true;
    }
}

BoundedBody::~BoundedBody()
{
    if (m_inflater)
        inflateEnd(&m_inflater->stream);
}

void BoundedBody::take(QByteArrayView sent)
{
    if (sent.isEmpty() || tooLarge() || m_undecodable)
        return;
    if (!m_inflater) {
        m_bytes.append(sent);
        return;
    }
    z_stream& z = m_inflater->stream;
    if (m_inflater->ended) {
        m_undecodable = true;   // bytes after the end of the compressed data
        return;
    }
    m_inflater->begun = true;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(sent.data()));
    z.avail_in = uInt(sent.size());
    char piece[64 * 1024];
    while (z.avail_in > 0 && !tooLarge()) {
        z.next_out = reinterpret_cast<Bytef*>(piece);
        z.avail_out = sizeof piece;
        const int result = inflate(&z, Z_NO_FLUSH);
        m_bytes.append(piece, qsizetype(sizeof piece - z.avail_out));
        if (result == Z_STREAM_END) {
            m_inflater->ended = true;
            if (z.avail_in > 0)
                m_undecodable = true;
            return;
        }
        if (result != Z_OK) {
            m_undecodable = true;
            return;
        }
    }
}

void limitReadBuffer(QNetworkReply* reply, qint64 bytes)
{
    if (!reply)
        return;
    reply->setReadBufferSize(bytes);
    QMetaObject::invokeMethod(reply, [reply, bytes] { reply->setReadBufferSize(bytes); }, Qt::QueuedConnection);
}

std::shared_ptr<ReplyWatch> watchReply(QNetworkReply* reply, const ReplyLimits& limits)
{
    auto watch = std::make_shared<ReplyWatch>();
    if (!reply)
        return watch;
    // The timers and connections belong to the reply and end with it; they hold the watch weakly.
    std::weak_ptr<ReplyWatch> weak = watch;
    auto breach = [weak, reply](ReplyWatch::Breach why) {
        auto w = weak.lock();
        if (!w || w->m_breach != ReplyWatch::Breach::none || reply->isFinished())
            return;
        w->m_breach = why;
        reply->abort();
    };

    if (limits.deadline) {
        auto* timer = new QTimer(reply);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, reply, [breach] { breach(ReplyWatch::Breach::deadline); });
        timer->start(limits.deadline->count());
    }
    if (limits.maxBodyBytes) {
        const qint64 bound = *limits.maxBodyBytes;
        // An announced length past the bound is refused before any of the body is read.
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, bound, breach] {
            bool announced = false;
            const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
            if (announced && length > bound)
                breach(ReplyWatch::Breach::tooLarge);
        });
        // Counted as it arrives, compressed and decompressed alike.
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [bound, breach](qint64 received, qint64) {
            if (received > bound)
                breach(ReplyWatch::Breach::tooLarge);
        });
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, bound, breach] {
            if (reply->bytesAvailable() > bound)
                breach(ReplyWatch::Breach::tooLarge);
        });
    }
    if (limits.minBytesPerSecond > 0 && limits.rateWindow.count() > 0) {
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [weak](qint64 received, qint64) {
            if (auto w = weak.lock())
                w->m_received = std::max(w->m_received, received);
        });
        const qint64 needed = limits.minBytesPerSecond * limits.rateWindow.count() / 1000;
        auto* timer = new QTimer(reply);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, reply, [weak, needed, breach] {
            auto w = weak.lock();
            if (!w)
                return;
            const qint64 gained = w->m_received - w->m_receivedAtWindowStart;
            w->m_receivedAtWindowStart = w->m_received;
            if (gained < needed)
                breach(ReplyWatch::Breach::tooSlow);
        });
        timer->start(limits.rateWindow.count());
    }
    return watch;
}

} // namespace hf
