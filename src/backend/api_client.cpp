#include "backend/api_client.h"

#include "platform/async.h"
#include "platform/logging.h"
#include "platform/network.h"
#include "platform/texts.h"

#include <QDateTime>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <algorithm>
#include <limits>
#include <memory>

namespace hf {

HF_LOGGING_CATEGORY(lcAPIClient, "APIClient")

namespace {

// The most of an answer held unread at a time.
constexpr qint64 readBufferBytes = 256 * 1024;

QUrl appendPath(const QUrl& base, const QString& path)
{
    QUrl url = base;
    QString basePath = url.path(QUrl::FullyEncoded);
    while (basePath.endsWith(u'/'))
        basePath.chop(1);
    url.setPath(basePath + path, QUrl::TolerantMode);
    return url;
}

QString cutShortText()
{
    return text("error.network.cutShort", "The connection closed before the whole answer arrived.");
}

// Why an answer whose status line arrived is not whole: its connection failed, or closed before
// the announced length (of the body as sent, `sent` bytes of which arrived); none when it is whole.
std::optional<QString> cutShort(QNetworkReply* reply, const APIResponse& response, qint64 sent)
{
    const QNetworkReply::NetworkError error = reply->error();
    // Codes below the proxy range are the connection's own (closed, reset, timed out); the others
    // restate the HTTP status.
    if (error != QNetworkReply::NoError && error < QNetworkReply::ProxyConnectionRefusedError) {
        if (error == QNetworkReply::OperationCanceledError)
            return text("error.network.timedOut", "The request timed out.");
        return reply->errorString();
    }
    if (const auto length = response.header("Content-Length")) {
        bool ok = false;
        const qint64 declared = length->trimmed().toLongLong(&ok);
        if (ok && sent < declared)
            return cutShortText();
    }
    return std::nullopt;
}

// A date in one of the forms HTTP has used (RFC 9110): "Sun, 06 Nov 1994 08:49:37 GMT", the
// obsolete "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994". None when it is none
// of them.
std::optional<QDateTime> httpDate(const QString& value)
{
    static const QString days = QStringLiteral("(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun)");
    static const QString longDays = QStringLiteral("(?:Monday|Tuesday|Wednesday|Thursday|Friday|Saturday|Sunday)");
    static const QString months = QStringLiteral("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)");
    static const QString clock = QStringLiteral("(\\d\\d):(\\d\\d):(\\d\\d)");
    static const QRegularExpression fixdate(u'^' + days + QStringLiteral(", (\\d\\d) ") + months
                                            + QStringLiteral(" (\\d{4}) ") + clock + QStringLiteral(" GMT$"));
    static const QRegularExpression rfc850(u'^' + longDays + QStringLiteral(", (\\d\\d)-") + months
                                           + QStringLiteral("-(\\d\\d) ") + clock + QStringLiteral(" GMT$"));
    static const QRegularExpression asctime(u'^' + days + u' ' + months + QStringLiteral(" ([ \\d]\\d) ") + clock
                                            + QStringLiteral(" (\\d{4})$"));
    int day = 0;
    int year = 0;
    QString month;
    QStringList hms;
    if (const QRegularExpressionMatch m = fixdate.match(value); m.hasMatch()) {
        day = m.captured(1).toInt();
        month = m.captured(2);
        year = m.captured(3).toInt();
        hms = {m.captured(4), m.captured(5), m.captured(6)};
    } else if (const QRegularExpressionMatch m = rfc850.match(value); m.hasMatch()) {
        day = m.captured(1).toInt();
        month = m.captured(2);
        // Two digits: the year that ends in them and is no more than 50 years ahead.
        const int now = QDateTime::currentDateTimeUtc().date().year();
        year = now - now % 100 + m.captured(3).toInt();
        if (year > now + 50)
            year -= 100;
        hms = {m.captured(4), m.captured(5), m.captured(6)};
    } else if (const QRegularExpressionMatch m = asctime.match(value); m.hasMatch()) {
        month = m.captured(1);
        day = m.captured(2).trimmed().toInt();
        hms = {m.captured(3), m.captured(4), m.captured(5)};
        year = m.captured(6).toInt();
    } else {
        return std::nullopt;
    }
    const QDate date(year, int(QStringLiteral("JanFebMarAprMayJunJulAugSepOctNovDec").indexOf(month)) / 3 + 1, day);
    const QTime time(hms[0].toInt(), hms[1].toInt(), hms[2].toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

// The wait a refusal's "Retry-After" asks for: whole seconds, or a date (one past asks for none).
std::optional<std::chrono::seconds> retryAfterOf(const APIResponse& response)
{
    const auto raw = response.header("Retry-After");
    if (!raw)
        return std::nullopt;
    const QByteArray value = raw->trimmed();
    if (!value.isEmpty() && std::ranges::all_of(value, [](char c) { return c >= '0' && c <= '9'; })) {
        bool ok = false;
        const qint64 seconds = value.toLongLong(&ok);
        // More digits than a count holds ask for longer than any wait.
        return std::chrono::seconds(ok ? seconds : std::numeric_limits<qint32>::max());
    }
    const std::optional<QDateTime> at = httpDate(QString::fromLatin1(value));
    if (!at)
        return std::nullopt;
    return std::chrono::seconds(std::max<qint64>(0, QDateTime::currentDateTimeUtc().secsTo(*at)));
}

} // namespace

std::optional<QString> APIResponse::renewedToken() const
{
    const auto raw = header("set-auth-token");
    if (!raw)
        return std::nullopt;
    const QString value = QString::fromUtf8(*raw);
    qsizetype start = 0;
    qsizetype end = value.size();
    auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (start < end && blank(value[start]))
        ++start;
    while (end > start && blank(value[end - 1]))
        --end;
    if (start == end)
        return std::nullopt;
    return value.mid(start, end - start);
}

std::optional<QByteArray> APIResponse::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return std::nullopt;
}

APIClient::APIClient(QUrl baseURL, QNetworkAccessManager* session, SessionTokenStore* tokenStore, QObject* parent)
    : QObject(parent), m_baseURL(std::move(baseURL)), m_session(session), m_tokenStore(tokenStore)
{
}

APIClient::~APIClient() = default;

void APIClient::logDecodingFailure(const QString& path, const QString& description)
{
    qCCritical(lcAPIClient, "Decoding %s failed: %s", qUtf8Printable(path), qUtf8Printable(description));
}

QCoro::Task<APIResponse> APIClient::send(QString method, QString path, std::optional<QByteArray> body,
                                         bool authenticated, bool allowReauth, bool attachTokenIfPresent,
                                         std::stop_token stop)
{
    co_return co_await attempt(std::move(method), std::move(path), std::move(body), authenticated, allowReauth,
                               attachTokenIfPresent, std::move(stop), false);
}

QCoro::Task<APIResponse> APIClient::attempt(QString method, QString path, std::optional<QByteArray> body,
                                            bool authenticated, bool allowReauth, bool attachTokenIfPresent,
                                            std::stop_token stop, bool isRetry, std::optional<QString> asSession)
{
    QPointer<APIClient> self(this);
    if (authenticated && !asSession && !m_tokenStore->token()) {
        if (!allowReauth)
            throw APIError::signInRequired();
        const bool started = co_await reauthenticate(stop);
        if (!self)
            throw Cancelled();
        if (!started)
            throw APIError::signInRequired();
    }

    QNetworkRequest request(appendPath(m_baseURL, path));
    request.setTransferTimeout(static_cast<int>(m_requestTimeout.count()));
    request.setRawHeader("Accept", "application/json");
    // Compressed answers are decoded here, within the answer's bound (see BoundedBody).
    request.setRawHeader("Accept-Encoding", "gzip, deflate");
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // The backend answers where it is asked; a redirect is answered as the fault it is (below).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (body)
        request.setRawHeader("Content-Type", "application/json");
    std::optional<QString> sentToken;
    if (authenticated || attachTokenIfPresent) {
        sentToken = asSession ? asSession : m_tokenStore->token();
        if (sentToken)
            request.setRawHeader("Authorization", "Bearer " + sentToken->toUtf8());
    }

    QNetworkReply* reply = nullptr;
    if (method == u"GET" && !body)
        reply = m_session->get(request);
    else if (body)
        reply = m_session->sendCustomRequest(request, method.toLatin1(), *body);
    else
        reply = m_session->sendCustomRequest(request, method.toLatin1());
    ReplyHolder holder(reply);
    // The answer is taken as it arrives, through a small read buffer: the network thread pauses
    // while that buffer is full, so however fast a server sends, no more than the bound and one
    // buffer of an answer is ever held before it is refused.
    limitReadBuffer(reply, std::min<qint64>(readBufferBytes, m_maxAnswerBytes + 1));
    const auto watch = watchReply(reply, ReplyLimits{m_requestDeadline, m_maxAnswerBytes});
    // Made once the answer's head is in: its encoding says how the body reads. Says whether the
    // body went past its bound.
    auto received = std::make_shared<std::unique_ptr<BoundedBody>>();
    const auto take = [reply, received, bound = m_maxAnswerBytes] {
        if (!*received)
            *received = std::make_unique<BoundedBody>(reply->rawHeader("Content-Encoding"), bound);
        (*received)->take(reply->readAll());
        return (*received)->tooLarge();
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, take] {
        if (take())
            reply->abort();
    });

    co_await awaitReply(reply, stop);
    if (!self)
        throw Cancelled();
    ReplyWatch::Breach breach = watch->breach();
    if (take() && breach == ReplyWatch::Breach::none)
        breach = ReplyWatch::Breach::tooLarge;
    switch (breach) {
    case ReplyWatch::Breach::none:
        break;
    case ReplyWatch::Breach::tooLarge:
        qCWarning(lcAPIClient, "The answer to %s was larger than %lld bytes", qUtf8Printable(path),
                  static_cast<long long>(m_maxAnswerBytes));
        throw APIError::invalidResponse();
    case ReplyWatch::Breach::deadline:
    case ReplyWatch::Breach::tooSlow:
    case ReplyWatch::Breach::stalled:
        throw APIError::network(text("error.network.timedOut", "The request timed out."));
    }

    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid()) {
        // No HTTP answer arrived. Our own stop surfaced above as Cancelled, so an aborted request
        // here is Qt's inactivity timeout.
        if (reply->error() == QNetworkReply::OperationCanceledError)
            throw APIError::network(QStringLiteral("The request timed out."));
        if (reply->error() != QNetworkReply::NoError)
            throw APIError::network(reply->errorString());
        throw APIError::invalidResponse();
    }

    APIResponse response;
    response.status = statusAttribute.toInt();
    const BoundedBody& answer = **received;
    response.body = answer.bytes();
    response.headers = reply->rawHeaderPairs();
    // An answer whose connection failed before its end is no answer, whatever its status said.
    std::optional<QString> lost = cutShort(reply, response, answer.sentBytes());
    if (!lost && answer.unfinished())
        lost = cutShortText();
    if (lost) {
        qCWarning(lcAPIClient, "The answer to %s was cut short after %lld bytes", qUtf8Printable(path),
                  static_cast<long long>(response.body.size()));
        throw APIError::cutOff(*lost);
    }
    holder.reset();
    // A body that does not decode is no body: each caller reads that as it reads a broken one.
    if (answer.undecodable()) {
        qCWarning(lcAPIClient, "The answer to %s came in an encoding that doesn't decode", qUtf8Printable(path));
        response.body.clear();
    }

    if (response.status >= 300 && response.status <= 399) {
        // Not followed: the backend never sends one, and what it would lead to says nothing true
        // about this request.
        qCWarning(lcAPIClient, "The answer to %s was a redirect (%d)", qUtf8Printable(path), response.status);
        throw APIError::invalidResponse();
    }

    // A session other than the stored one is neither repaired nor renewed: the store is not its.
    if (response.status == 401 && asSession)
        throw APIError::signInRequired();
    if (response.status == 401 && authenticated) {
        const auto current = m_tokenStore->token();
        if (current && current != sentToken) {
            // A newer session was stored while this request was out: the refusal speaks of the old
            // token, so keep the new one and try once more with it.
            if (isRetry)
                throw APIError::signInRequired();
            co_return co_await attempt(method, path, body, true, false, attachTokenIfPresent, stop, true);
        }
        m_tokenStore->clear();
        if (allowReauth && !isRetry) {
            bool started = false;
            try {
                started = co_await reauthenticate(stop);
            } catch (const Cancelled&) {
                throw;
            } catch (...) {
                started = false;
            }
            if (!self)
                throw Cancelled();
            if (started)
                co_return co_await attempt(method, path, body, true, false, attachTokenIfPresent, stop, true);
        }
        if (onSessionInvalidated)
            onSessionInvalidated();
        throw APIError::signInRequired();
    }

    if (response.status >= 200 && response.status <= 299) {
        if (authenticated && !asSession) {
            if (const auto renewed = response.renewedToken()) {
                const auto stored = m_tokenStore->token();
                // Only a renewal of the token this request carried may replace the stored one.
                if (stored != renewed && stored == sentToken)
                    m_tokenStore->save(*renewed);
            }
        }
        co_return response;
    }

    const auto parsed = APIErrorBodyParser::parse(response.body, response.status);
    APIError refusal = APIError::server(parsed.code, parsed.message, response.status);
    refusal.setRetryAfter(retryAfterOf(response));
    throw refusal;
}

namespace {

QCoro::Task<void> runReauthentication(std::shared_ptr<SharedResult<bool>> shared,
                                      std::function<QCoro::Task<bool>()> operation,
                                      std::function<void()> onEnd)
{
    try {
        const bool started = co_await operation();
        onEnd();
        shared->resolve(started);
    } catch (...) {
        onEnd();
        shared->fail(std::current_exception());
    }
}

} // namespace

QCoro::Task<bool> APIClient::reauthenticate(std::stop_token stop)
{
    if (m_reauth) {
        auto joined = m_reauth;
        co_return co_await joined->wait(stop);
    }
    if (!silentReauthenticator)
        co_return false;

    auto shared = std::make_shared<SharedResult<bool>>();
    m_reauth = shared;
    QPointer<APIClient> self(this);
    // Its own task, not a child of this caller: a caller that goes away does not stop it.
    runReauthentication(shared, silentReauthenticator, [self, shared] {
        if (self && self->m_reauth == shared)
            self->m_reauth.reset();
    });
    const bool started = co_await shared->wait(stop);
    if (!self)
        throw Cancelled();
    co_return started && m_tokenStore->token().has_value();
}

} // namespace hf
