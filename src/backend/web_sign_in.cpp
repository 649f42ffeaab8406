#include "backend/web_sign_in.h"

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "platform/logging.h"
#include "platform/oauth_pkce.h"
#include "platform/texts.h"

#include <QPointer>
#include <QUrlQuery>

#include <algorithm>
#include <vector>

namespace hf {

HF_LOGGING_CATEGORY(lcWebSignIn, "WebSignIn")

namespace {

// The authenticators in the order their waits started.
std::vector<BrowserSheetAuthenticator*>& authenticators()
{
    static std::vector<BrowserSheetAuthenticator*> list;
    return list;
}

QCoro::Task<void> redeemWith(QPointer<APIClient> api, QString code, QString verifier)
{
    if (!api)
        throw Cancelled();
    co_await WebSignIn::redeem(std::move(code), std::move(verifier), api.data());
}

} // namespace

WebSignInError WebSignInError::failed(QString code)
{
    return WebSignInError(Case::failed, std::move(code));
}

QString WebSignInError::localizedDescription() const
{
    if (m_case == Case::unexpectedCallback)
        return text("error.signIn.web.unexpected",
                    "The sign-in came back in a way Hushframe didn't expect. Please try again.", TextTable::Direct);
    if (m_code == u"expired")
        return text("error.signIn.web.expired", "The sign-in took too long. Please try again.", TextTable::Direct);
    return text("error.signIn.web.failed", "The sign-in didn't finish. Please try again.", TextTable::Direct);
}

// ---- the browser wait

BrowserSheetAuthenticator::BrowserSheetAuthenticator(URLOpener opener, QObject* parent)
    : QObject(parent), m_opener(std::move(opener))
{
}

BrowserSheetAuthenticator::~BrowserSheetAuthenticator()
{
    cancel();
    auto& list = authenticators();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

bool BrowserSheetAuthenticator::isWaiting() const
{
    return m_session && !m_session->isReady();
}

void BrowserSheetAuthenticator::cancel()
{
    if (m_session)
        m_session->fail(std::make_exception_ptr(Cancelled()));
}

QCoro::Task<QUrl> BrowserSheetAuthenticator::authenticate(QUrl url)
{
    // An earlier wait of this authenticator ends; it would otherwise never be answered.
    cancel();
    const auto session = std::make_shared<SharedResult<QUrl>>();
    m_session = session;
    auto& list = authenticators();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    list.push_back(this);

    if (!m_opener || !m_opener(url)) {
        m_session.reset();
        throw WebSignInError::failed(QStringLiteral("not_started"));
    }
    const QUrl callback = co_await session->wait();
    co_return callback;
}

bool BrowserSheetAuthenticator::deliverCallback(const QUrl& url)
{
    if (url.scheme() == callbackScheme) {
        const auto& list = authenticators();
        for (auto it = list.rbegin(); it != list.rend(); ++it) {
            if ((*it)->isWaiting()) {
                (*it)->m_session->resolve(url);
                return true;
            }
        }
    }
    qCInfo(lcWebSignIn, "Ignored an incoming link: no sign-in is waiting for it");
    return false;
}

// ---- the sequence

PKCEPair WebSignIn::makePKCE()
{
    const auto key = oauth::makeProofKey();
    if (!key)
        throw WebSignInError::failed(QStringLiteral("not_started"));
    return PKCEPair{key->verifier, key->challenge};
}

QCoro::Task<void> WebSignIn::redeem(QString code, QString codeVerifier, APIClient* api)
{
    co_await api->redeemHandoff(std::move(code), std::move(codeVerifier));
}

std::variant<QString, WebSignInError> WebSignIn::parseCallback(const QUrl& url)
{
    if (!url.isValid() || url.scheme() != BrowserSheetAuthenticator::callbackScheme
        || url.host(QUrl::FullyEncoded) != u"auth" || url.path(QUrl::FullyEncoded) != u"/callback")
        return WebSignInError::unexpectedCallback();
    if (!url.hasQuery() || url.query().isEmpty())
        return WebSignInError::unexpectedCallback();
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    auto first = [&](const QString& name) -> std::optional<QString> {
        for (const auto& [key, value] : items)
            if (key == name)
                return value;
        return std::nullopt;
    };
    if (const auto code = first(QStringLiteral("code")); code && !code->isEmpty())
        return *code;
    if (const auto error = first(QStringLiteral("error")); error && !error->isEmpty())
        return WebSignInError::failed(*error);
    return WebSignInError::unexpectedCallback();
}

QCoro::Task<void> WebSignIn::signIn(AuthProvider provider, APIClient* apiClient, WebAuthenticating* authenticator,
                                    AccountStore* accountStore)
{
    const QPointer<APIClient> api(apiClient);
    const QPointer<AccountStore> account(accountStore);
    if (!api || !account)
        co_return;
    account->setErrorMessage(std::nullopt);

    PKCEPair pair;
    QString code;
    try {
        pair = makePKCE();
        const QUrl page = co_await api->startHandoff(provider, pair.challenge);
        if (!account || !api)
            co_return;
        const QUrl callback = co_await authenticator->authenticate(page);
        if (!account || !api)
            co_return;
        auto parsed = parseCallback(callback);
        if (auto* error = std::get_if<WebSignInError>(&parsed)) {
            if (error->kind() == WebSignInError::Case::unexpectedCallback)
                throw *error;
            // The user declined on the page.
            if (error->code() == u"access_denied" || error->code() == u"user_cancelled_authorize")
                co_return;
            account->setErrorMessage(error->localizedDescription());
            co_return;
        }
        code = std::get<QString>(parsed);
    } catch (const Cancelled&) {
        co_return;
    } catch (const std::exception& e) {
        if (!account)
            co_return;
        const QString description = describe(e);
        qCCritical(lcWebSignIn, "Web sign-in did not finish: %s", qUtf8Printable(description));
        account->setErrorMessage(description);
        co_return;
    }

    const std::function<QCoro::Task<void>()> perform = [api, code, verifier = pair.verifier] {
        return redeemWith(api, code, verifier);
    };
    co_await account->signIn(provider, perform);
}

} // namespace hf
