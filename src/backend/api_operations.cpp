// The backend's endpoints as the application uses them.

#include "backend/api_client.h"
#include "backend/handoff_records.h"
#include "platform/async.h"
#include "platform/logging.h"

namespace hf {

HF_DECLARE_LOGGING_CATEGORY(lcAPIClient)

namespace {

const QByteArray emptyObject = QByteArrayLiteral("{}");

template<class T>
std::optional<T> decodeQuietly(const QByteArray& body)
{
    try {
        return json::decodeDocument<T>(body);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

// The job of an answer about job `id`: an answer about any other job is a server fault, and
// nothing of it is used.
CloudJob sameJob(CloudJob job, const QString& id)
{
    if (job.id != id) {
        qCWarning(lcAPIClient, "An answer about job %s described job %s", qUtf8Printable(id),
                  qUtf8Printable(job.id.left(64)));
        throw APIError::otherJob();
    }
    return job;
}

} // namespace

QString APIClient::jobPath(const QString& id, const char* action)
{
    // Ids come from the server; refuse anything that is not an opaque URL-safe identifier rather
    // than let it shape the request path.
    if (!isSafeIdentifier(id))
        throw APIError::invalidResponse();
    QString path = QStringLiteral("/v1/jobs/") + QString::fromLatin1(QUrl::toPercentEncoding(id));
    if (action)
        path += u'/' + QLatin1StringView(action);
    return path;
}

std::optional<APIUser> APIClient::acceptSignInAnswer(const APIResponse& response)
{
    const auto answer = decodeQuietly<SocialSignInResponse>(response.body);
    std::optional<QString> token = response.renewedToken();
    if (!token && answer && answer->token && !answer->token->isEmpty())
        token = answer->token;
    if (!token)
        throw APIError::invalidResponse();
    m_tokenStore->save(*token);
    return answer ? answer->user : std::nullopt;
}

QCoro::Task<std::optional<AuthSession>> APIClient::getSession(std::stop_token stop)
{
    if (!m_tokenStore->token())
        co_return std::nullopt;
    std::optional<APIResponse> response;
    try {
        response = co_await send(QStringLiteral("GET"), QStringLiteral("/api/auth/get-session"), std::nullopt, true,
                                 false, false, stop);
    } catch (const APIError& e) {
        if (e.kind() == APIError::Case::signInRequired)
            co_return std::nullopt;
        throw;
    }
    co_return decodeQuietly<AuthSession>(response->body);
}

QCoro::Task<std::optional<APIUser>> APIClient::signInAnonymously(std::stop_token stop)
{
    std::optional<APIResponse> response;
    try {
        response = co_await send(QStringLiteral("POST"), QStringLiteral("/api/auth/sign-in/anonymous"), emptyObject,
                                 false, false, false, stop);
    } catch (const APIError& e) {
        if (e.kind() == APIError::Case::server && e.status() == 429)
            throw APIError::accountLimitReached();
        throw;
    }
    co_return acceptSignInAnswer(*response);
}

QCoro::Task<std::optional<APIUser>> APIClient::signInSocial(SocialSignInRequest request, std::stop_token stop)
{
    const auto response = co_await send(QStringLiteral("POST"), QStringLiteral("/api/auth/sign-in/social"),
                                        json::encodeDocument(request), false, false, true, stop);
    co_return acceptSignInAnswer(response);
}

QCoro::Task<void> APIClient::signOut(std::stop_token stop)
{
    if (m_tokenStore->token()) {
        try {
            co_await send(QStringLiteral("POST"), QStringLiteral("/api/auth/sign-out"), emptyObject, true, false,
                          false, stop);
        } catch (const Error& e) {
            qCInfo(lcAPIClient, "Server sign-out failed: %s", qUtf8Printable(e.localizedDescription()));
        }
    }
    m_tokenStore->clear();
}

QCoro::Task<AccountUsage> APIClient::account(std::stop_token stop)
{
    co_return co_await send<AccountUsage>(QStringLiteral("GET"), QStringLiteral("/v1/me"), std::nullopt, stop);
}

QCoro::Task<void> APIClient::deleteAccount(std::stop_token stop)
{
    co_await send(QStringLiteral("DELETE"), QStringLiteral("/v1/account"), std::nullopt, true, false, false, stop);
}

QCoro::Task<CreateJobResponse> APIClient::createJob(CreateJobRequest request, std::stop_token stop)
{
    co_return co_await send<CreateJobResponse>(QStringLiteral("POST"), QStringLiteral("/v1/jobs"),
                                               json::encodeDocument(request), stop);
}

QCoro::Task<CloudJob> APIClient::startJob(QString id, std::stop_token stop)
{
    JobEnvelope answer = co_await send<JobEnvelope>(QStringLiteral("POST"), jobPath(id, "start"), emptyObject, stop);
    co_return sameJob(std::move(answer.job), id);
}

QCoro::Task<CloudJob> APIClient::cancelJob(QString id, std::stop_token stop, std::optional<QString> session)
{
    const QString path = jobPath(id, "cancel");
    if (!session) {
        JobEnvelope answer = co_await send<JobEnvelope>(QStringLiteral("POST"), path, emptyObject, stop);
        co_return sameJob(std::move(answer.job), id);
    }
    auto sending = attempt(QStringLiteral("POST"), path, emptyObject, true, false, false, stop, false, session);
    const APIResponse response = co_await std::move(sending);
    JobEnvelope answer = decodeAnswer<JobEnvelope>(response.body, path, response.status);
    co_return sameJob(std::move(answer.job), id);
}

QCoro::Task<CloudJob> APIClient::startClaimCheck(QString id, std::stop_token stop)
{
    JobEnvelope answer = co_await send<JobEnvelope>(QStringLiteral("POST"), jobPath(id, "claim-check"), emptyObject, stop);
    co_return sameJob(std::move(answer.job), id);
}

QCoro::Task<CloudJob> APIClient::job(QString id, std::stop_token stop)
{
    JobEnvelope answer = co_await send<JobEnvelope>(QStringLiteral("GET"), jobPath(id), std::nullopt, stop);
    co_return sameJob(std::move(answer.job), id);
}

QCoro::Task<CloudJob> APIClient::promoteJob(QString id, PromoteJobRequest request, std::stop_token stop)
{
    JobEnvelope answer = co_await send<JobEnvelope>(QStringLiteral("POST"), jobPath(id, "promote"),
                                                    json::encodeDocument(request), stop);
    co_return sameJob(std::move(answer.job), id);
}

QCoro::Task<QUrl> APIClient::startHandoff(AuthProvider provider, QString codeChallenge, std::stop_token stop)
{
    // Bodies are built before the co_await: GCC 12 destroys a braced temporary twice when the
    // awaited call throws.
    const HandoffRequest request{provider, codeChallenge};
    const QByteArray body = json::encodeDocument(request);
    const auto response = co_await send(QStringLiteral("POST"), QStringLiteral("/v1/auth/handoff"), body, false,
                                        false, true, stop);
    const HandoffResponse answer =
        decodeAnswer<HandoffResponse>(response.body, QStringLiteral("/v1/auth/handoff"), response.status);
    co_return answer.url;
}

QCoro::Task<std::optional<APIUser>> APIClient::redeemHandoff(QString code, QString codeVerifier, std::stop_token stop)
{
    const HandoffRedeemRequest request{code, codeVerifier};
    const QByteArray body = json::encodeDocument(request);
    const auto response = co_await send(QStringLiteral("POST"), QStringLiteral("/v1/auth/handoff/redeem"), body,
                                        false, false, false, stop);
    co_return acceptSignInAnswer(response);
}

} // namespace hf
