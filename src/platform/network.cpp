#include "platform/network.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QTimer>

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <utility>

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

// One content coding of the body, undone as the body arrives: what it takes in is what the coding
// before it (in the order the server applied them) gave out.
struct BoundedBody::Inflater {
    enum class Kind { gzip, deflate };
    explicit Inflater(Kind k) : kind(k) {}
    ~Inflater()
    {
        if (ready)
            inflateEnd(&stream);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    Kind kind;
    z_stream stream{};
    bool ready = false;
    // Compressed data began, and reached its end (for gzip: the end of the member so far).
    bool begun = false;
    bool ended = false;
    // The first bytes of a deflate body, until they say whether it has the zlib wrapper.
    QByteArray head;
    qint64 produced = 0;

    // Undoes the coding of `in`, handing what it gives to `out` piece by piece while `out` takes
    // more; false when `in` is not data of this coding.
    bool feed(QByteArrayView in, const std::function<bool(QByteArrayView)>& out)
    {
        if (in.isEmpty())
            return true;
        if (!ready) {
            int windowBits = 15 + 16;
            if (kind == Kind::deflate) {
                // "deflate" is the zlib format; some servers send the raw deflate data without
                // its wrapper, which the first two bytes tell apart.
                head.append(in.data(), in.size());
                if (head.size() < 2)
                    return true;
                const auto cmf = uchar(head[0]);
                const auto flg = uchar(head[1]);
                const bool wrapped = (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0;
                windowBits = wrapped ? 15 : -15;
            }
            if (inflateInit2(&stream, windowBits) != Z_OK)
                return false;
            ready = true;
            if (kind == Kind::deflate) {
                const QByteArray first = std::exchange(head, {});
                return inflateSome(first, out);
            }
        }
        return inflateSome(in, out);
    }

private:
    bool inflateSome(QByteArrayView in, const std::function<bool(QByteArrayView)>& out)
    {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        stream.avail_in = uInt(in.size());
        char piece[64 * 1024];
        // A piece that came out full may have more behind it, even with no input left.
        bool full = false;
        while (stream.avail_in > 0 || (full && !ended)) {
            if (ended) {
                // A gzip body may hold several members one after another; nothing may follow
                // the end of a deflate body.
                if (kind != Kind::gzip || inflateReset(&stream) != Z_OK)
                    return false;
                ended = false;
            }
            begun = true;
            stream.next_out = reinterpret_cast<Bytef*>(piece);
            stream.avail_out = sizeof piece;
            const int result = inflate(&stream, Z_NO_FLUSH);
            const qsizetype made = qsizetype(sizeof piece - stream.avail_out);
            full = stream.avail_out == 0;
            produced += made;
            if (made > 0 && !out(QByteArrayView(piece, made)))
                return true;
            if (result == Z_STREAM_END)
                ended = true;
            else if (result == Z_BUF_ERROR && stream.avail_in == 0)
                break;   // no more to give until more arrives
            else if (result != Z_OK)
                return false;
        }
        return true;
    }
};

bool BoundedBody::unfinished() const
{
    if (tooLarge() || m_undecodable)
        return false;
    return std::ranges::any_of(m_codings, [](const auto& c) { return (c->begun || !c->head.isEmpty()) && !c->ended; });
}

BoundedBody::BoundedBody(QByteArrayView encoding, qint64 bound) : m_bound(bound)
{
    // A list of codings, in the order they were applied: undone from the last.
    const QList<QByteArray> listed = encoding.toByteArray().split(',');
    for (auto it = listed.crbegin(); it != listed.crend(); ++it) {
        const QByteArray name = it->trimmed().toLower();
        if (name.isEmpty() || name == "identity")
            continue;
        if (m_codings.size() >= maxCodings) {
            m_undecodable = true;
            return;
        }
        if (name == "gzip" || name == "x-gzip")
            m_codings.push_back(std::make_unique<Inflater>(Inflater::Kind::gzip));
        else if (name == "deflate")
            m_codings.push_back(std::make_unique<Inflater>(Inflater::Kind::deflate));
        else {
            m_undecodable = true;
            return;
        }
    }
}

BoundedBody::~BoundedBody() = default;

bool BoundedBody::tooLarge() const
{
    // A coding between others may not give out more than the bound either: the work of undoing
    // a body is bounded as its size is.
    return m_bytes.size() > m_bound
        || std::any_of(m_codings.begin(), m_codings.end() - (m_codings.empty() ? 0 : 1),
                       [this](const auto& c) { return c->produced > m_bound; });
}

bool BoundedBody::pass(size_t coding, QByteArrayView bytes)
{
    if (coding == m_codings.size()) {
        m_bytes.append(bytes.data(), bytes.size());
        return !tooLarge();
    }
    const bool decoded = m_codings[coding]->feed(
        bytes, [this, coding](QByteArrayView made) { return pass(coding + 1, made) && !m_undecodable; });
    if (!decoded)
        m_undecodable = true;
    return decoded && !tooLarge();
}

void BoundedBody::take(QByteArrayView sent)
{
    m_sent += sent.size();
    if (sent.isEmpty() || tooLarge() || m_undecodable)
        return;
    pass(0, sent);
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
        watch->m_rate.emplace(limits.minBytesPerSecond, limits.rateWindow, std::chrono::steady_clock::now());
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [weak](qint64 received, qint64) {
            if (auto w = weak.lock())
                w->m_rate->arrived(std::chrono::steady_clock::now(), received);
        });
        // Armed for when the reply falls behind if nothing more arrives; what arrived meanwhile
        // moves that on.
        auto* timer = new QTimer(reply);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        const auto arm = [timer](const LeastRate& rate) {
            const auto left = rate.fallsBehindAt() - std::chrono::steady_clock::now();
            timer->start(std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left)));
        };
        QObject::connect(timer, &QTimer::timeout, reply, [weak, breach, arm] {
            auto w = weak.lock();
            if (!w)
                return;
            const auto now = std::chrono::steady_clock::now();
            if (now < w->m_rate->fallsBehindAt()) {
                arm(*w->m_rate);
                return;
            }
            breach(w->m_rate->stalled(now) ? ReplyWatch::Breach::stalled : ReplyWatch::Breach::tooSlow);
        });
        arm(*watch->m_rate);
    }
    return watch;
}

LeastRate::LeastRate(qint64 bytesPerSecond, std::chrono::milliseconds slack, TimePoint from)
    : m_rate(double(std::max<qint64>(1, bytesPerSecond))),
      m_slackBytes(m_rate * std::chrono::duration<double>(slack).count()),
      m_at(from),
      m_received(0),
      m_keptAt(from),
      m_receivedWhenKept(0)
{
}

void LeastRate::arrived(TimePoint at, qint64 received)
{
    if (received <= m_received || at < m_at)
        return;
    const double owed = m_rate * std::chrono::duration<double>(at - m_at).count();
    m_balance = std::min(0.0, m_balance - owed + double(received - m_received));
    m_at = at;
    m_received = received;
    if (m_balance >= 0) {
        m_keptAt = at;
        m_receivedWhenKept = received;
    }
}

LeastRate::TimePoint LeastRate::fallsBehindAt() const
{
    const std::chrono::duration<double> left((m_balance + m_slackBytes) / m_rate);
    return m_at + std::chrono::ceil<std::chrono::steady_clock::duration>(left);
}

bool LeastRate::stalled(TimePoint now) const
{
    const double since = std::chrono::duration<double>(now - m_keptAt).count();
    return double(m_received - m_receivedWhenKept) * 4 < m_rate * since;
}

} // namespace hf
