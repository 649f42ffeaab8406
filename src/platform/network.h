#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QNetworkAccessManager>
#include <QObject>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class QNetworkReply;

namespace hf {

// The network session of the backend client: no cookies are ever sent or stored (the session
// token travels only in the Authorization header), no cache, redirects only within one origin,
// and `idleTimeout` of inactivity ends a request.
QNetworkAccessManager* makeEphemeralNetworkSession(QObject* parent,
                                                   std::chrono::milliseconds idleTimeout = std::chrono::seconds(30));

// Bounds one reply must keep while it runs. Qt's own transfer timeout only notices silence and
// restarts with every byte, so a peer that trickles its answer would hold a request forever.
struct ReplyLimits {
    // The whole exchange, from sending to the last byte; none: no deadline.
    std::optional<std::chrono::milliseconds> deadline;
    // The answer body, as announced or as received; none: no bound.
    std::optional<qint64> maxBodyBytes;
    // At least this many bytes per second on average, falling behind that rate by at most
    // `rateWindow`'s worth of it (see LeastRate); 0: no rate rule.
    qint64 minBytesPerSecond = 0;
    std::chrono::milliseconds rateWindow{std::chrono::seconds(30)};
};

// Whether a transfer keeps a least rate on average: the bytes that arrived against the rate times
// the time since the judging began, the transfer being allowed to fall behind by `slack`'s worth
// of that rate. Small delays of the network or the machine are made up by the bytes that follow
// them. Time ahead of the rate is not banked: a transfer that stops after a fast start falls
// behind as soon as one that kept the rate exactly.
class LeastRate {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Judging begins at `from`, with nothing arrived yet.
    LeastRate(qint64 bytesPerSecond, std::chrono::milliseconds slack, TimePoint from);

    // `received` bytes in all had arrived at `at`.
    void arrived(TimePoint at, qint64 received);
    // When the transfer is behind by more than the slack, if nothing more arrives.
    TimePoint fallsBehindAt() const;
    // Whether what arrived since the transfer last kept the rate, up to `now`, was under a quarter
    // of the rate: a connection that stalled (or trickles a byte now and then) rather than one that
    // is merely too slow.
    bool stalled(TimePoint now) const;

private:
    double m_rate;
    double m_slackBytes;
    TimePoint m_at;
    qint64 m_received;
    // How far behind the rate the transfer was at `m_at` (never ahead: at most 0).
    double m_balance = 0;
    // When the transfer last kept the rate, and what had arrived by then.
    TimePoint m_keptAt;
    qint64 m_receivedWhenKept;
};

// Watches one reply against its limits and aborts it at the first breach; the reply then
// finishes with OperationCanceledError, and breach() says why.
class ReplyWatch {
public:
    // `tooSlow`: below the least rate; `stalled`: so far below it that hardly anything arrived.
    enum class Breach { none, deadline, tooLarge, tooSlow, stalled };
    Breach breach() const { return m_breach; }

private:
    friend std::shared_ptr<ReplyWatch> watchReply(QNetworkReply* reply, const ReplyLimits& limits);
    Breach m_breach = Breach::none;
    std::optional<LeastRate> m_rate;
};

// An answer's body as it arrives, decoded from its Content-Encoding (a list of codings, applied
// in the order listed and undone from the last: gzip, with as many members as it has, and deflate,
// with the zlib wrapper or without; "identity" and none leave it as it is), and kept up to a
// bound: what comes after the bound is not decoded. Requests that use it ask for "gzip, deflate"
// themselves, so that Qt hands over the body as sent: Qt's own decoding inflates a whole piece at
// once, and its refusal of one that inflates too far leaves the reply unfinished.
class BoundedBody {
public:
    // More codings than this in one list are taken as undecodable.
    static constexpr size_t maxCodings = 4;

    BoundedBody(QByteArrayView encoding, qint64 bound);
    ~BoundedBody();
    BoundedBody(const BoundedBody&) = delete;
    BoundedBody& operator=(const BoundedBody&) = delete;

    // Takes the next bytes of the body as sent.
    void take(QByteArrayView sent);
    // The decoded body: past the bound, at least bound + 1 bytes of it.
    const QByteArray& bytes() const { return m_bytes; }
    // The bytes of the body as sent, taken so far.
    qint64 sentBytes() const { return m_sent; }
    bool tooLarge() const;
    // The body could not be decoded (an unknown coding, or data that is not what it says).
    bool undecodable() const { return m_undecodable; }
    // Compressed data began but did not reach its end.
    bool unfinished() const;

private:
    struct Inflater;
    // Hands `bytes` to coding `coding` (past the last: to the body); false once the body is
    // undecodable or past its bound.
    bool pass(size_t coding, QByteArrayView bytes);

    std::vector<std::unique_ptr<Inflater>> m_codings;
    QByteArray m_bytes;
    qint64 m_bound;
    qint64 m_sent = 0;
    bool m_undecodable = false;
};

// Keeps at most `bytes` of `reply`'s answer unread at a time: the network thread pauses while
// that much waits. Call it right after sending. A request with a body starts later, from the event
// loop, and forgets a size set before it started, so the size is set again once it has.
void limitReadBuffer(QNetworkReply* reply, qint64 bytes);

// Starts watching `reply` (call it right after sending). The watch may outlive the reply.
std::shared_ptr<ReplyWatch> watchReply(QNetworkReply* reply, const ReplyLimits& limits);

} // namespace hf
