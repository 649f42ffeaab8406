#include "backend/account_store.h"

#include "backend/bundle_configuration.h"
#include "backend/google_sign_in_service.h"
#include "platform/logging.h"

namespace hf {

HF_LOGGING_CATEGORY(lcAccountStore, "AccountStore")

namespace {

QString rawProvider(AuthProvider provider)
{
    return provider == AuthProvider::apple ? QStringLiteral("apple") : QStringLiteral("google");
}

SocialSignInRequest googleSignInRequest(const GoogleCredential& credential)
{
    SocialSignInRequest request;
    request.provider = AuthProvider::google;
    request.idToken.token = credential.idToken;
    request.idToken.accessToken = credential.accessToken;
    return request;
}

QCoro::Task<void> signInSocialOperation(QPointer<APIClient> api, SocialSignInRequest request)
{
    if (!api)
        throw Cancelled();
    co_await api->signInSocial(request);
}

// Resumes after the calls already queued on this thread have run.
QCoro::Task<void> afterQueuedCalls()
{
    const auto turn = std::make_shared<SharedResult<bool>>();
    detail::post(detail::threadContext(), [turn] { turn->resolve(true); });
    co_await turn->wait();
}

} // namespace

AccountStore::AccountStore(APIClient* api, SettingsStore* defaults, QObject* parent)
    : QObject(parent), m_api(api), m_defaults(defaults)
{
    m_hasSession = tokenStored();
    m_isSignedIn = m_hasSession && m_defaults->string(lastAuthProviderKey).has_value();

    QPointer<AccountStore> weak(this);
    m_api->silentReauthenticator = [weak] { return silentStart(weak); };
    m_api->onSessionInvalidated = [weak] {
        if (weak)
            weak->resetLocalState();
    };
}

AccountStore::~AccountStore()
{
    // Nobody is left to answer the waiters: their work ends as cancelled.
    if (auto waiters = std::move(m_signInWaiters))
        waiters->fail(std::make_exception_ptr(Cancelled()));
}

APIClient& AccountStore::api() const
{
    if (!m_api)
        throw Cancelled();
    return *m_api;
}

bool AccountStore::tokenStored() const
{
    return m_api && m_api->tokenStore().token().has_value();
}

// ---- observed fields: each notifies only on a real change

void AccountStore::setUser(std::optional<APIUser> user)
{
    if (m_user == user)
        return;
    m_user = std::move(user);
    Q_EMIT userChanged();
}

void AccountStore::setUsage(std::optional<AccountUsage> usage)
{
    if (m_usage == usage)
        return;
    m_usage = std::move(usage);
    Q_EMIT usageChanged();
}

void AccountStore::setHasSession(bool value)
{
    if (m_hasSession == value)
        return;
    m_hasSession = value;
    Q_EMIT hasSessionChanged();
}

void AccountStore::setSignedIn(bool value)
{
    if (m_isSignedIn == value)
        return;
    m_isSignedIn = value;
    Q_EMIT isSignedInChanged();
}

void AccountStore::setAuthenticating(bool value)
{
    if (m_isAuthenticating == value)
        return;
    m_isAuthenticating = value;
    Q_EMIT isAuthenticatingChanged();
}

void AccountStore::setSignInPresented(bool presented)
{
    if (m_isSignInPresented == presented)
        return;
    m_isSignInPresented = presented;
    Q_EMIT isSignInPresentedChanged();
}

void AccountStore::setSignInReason(SignInReason reason)
{
    if (m_signInReason == reason)
        return;
    m_signInReason = reason;
    Q_EMIT signInReasonChanged();
}

void AccountStore::setErrorMessage(std::optional<QString> message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = std::move(message);
    Q_EMIT errorMessageChanged();
}

void AccountStore::setSessionEnded(bool value)
{
    if (m_sessionEnded == value)
        return;
    m_sessionEnded = value;
    Q_EMIT sessionEndedChanged();
}

// ---- session lifecycle

QCoro::Task<bool> AccountStore::silentStart(QPointer<AccountStore> store)
{
    if (!store)
        co_return false;
    const bool started = co_await store->startSession(!store->m_isRestoring);
    co_return started;
}

QCoro::Task<void> AccountStore::refreshThenSignedIn(QPointer<AccountStore> store)
{
    if (!store)
        co_return;
    co_await store->refreshUsage();
    if (!store || !store->onSignedIn)
        co_return;
    const auto hook = store->onSignedIn;
    co_await hook();
}

QCoro::Task<void> AccountStore::restoreSession()
{
    QPointer<AccountStore> self(this);
    m_isRestoring = true;
    try {
        if (tokenStored()) {
            const std::optional<AuthSession> session = co_await api().getSession();
            if (!self)
                co_return;
            if (session)
                applyUser(session->user);
            else
                co_await ensureSession();
        } else {
            co_await ensureSession();
        }
    } catch (const Cancelled&) {
        if (self) {
            setHasSession(tokenStored());
            m_isRestoring = false;
        }
        co_return;
    } catch (const std::exception& e) {
        if (!self)
            co_return;
        qCInfo(lcAccountStore, "Session start deferred: %s", qUtf8Printable(describe(e)));
        setHasSession(tokenStored());
        m_isRestoring = false;
        co_return;
    }
    if (!self)
        co_return;
    setHasSession(tokenStored());
    co_await refreshUsage();
    if (self)
        m_isRestoring = false;
}

QCoro::Task<void> AccountStore::ensureSession()
{
    if (tokenStored())
        co_return;
    const bool started = co_await api().reauthenticate();
    if (!started)
        throw APIError::signInRequired();
}

QCoro::Task<bool> AccountStore::startSession(bool refreshAfterward)
{
    QPointer<AccountStore> self(this);
    if (m_defaults->string(lastAuthProviderKey) == u"google" && GoogleSignInService::hasPreviousSignIn()) {
        bool restored = false;
        try {
            const GoogleCredential credential = co_await GoogleSignInService::restorePreviousSignIn();
            if (!self)
                co_return false;
            const SocialSignInRequest request = googleSignInRequest(credential);
            co_await api().signInSocial(request);
            restored = true;
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception& e) {
            if (!self)
                co_return false;
            qCInfo(lcAccountStore, "Silent Google re-auth failed: %s", qUtf8Printable(describe(e)));
        }
        if (!self)
            co_return false;
        if (restored) {
            setSignedIn(true);
            setHasSession(true);
            co_return true;
        }
    }

    const auto stored = m_defaults->string(lastAuthProviderKey);
    if (stored == u"apple" || stored == u"google") {
        setSessionEnded(true);
        m_defaults->remove(lastAuthProviderKey);
    }

    const std::optional<APIUser> user = co_await api().signInAnonymously();
    if (!self)
        co_return false;
    setSignedIn(false);
    setHasSession(true);
    setUser(user);
    qCInfo(lcAccountStore, "Started an anonymous account");
    if (refreshAfterward)
        spawn(refreshThenSignedIn(self), lcAccountStore(), QStringLiteral("Account refresh"));
    co_return true;
}

QCoro::Task<void> AccountStore::refreshUsage()
{
    if (!tokenStored())
        co_return;
    QPointer<AccountStore> self(this);
    // The answer describes the account of the token it was asked with. A sign-in or sign-out while
    // it was on its way stores another token: the answer is then stale, and must neither put the
    // old account back nor end the new session.
    const std::optional<QString> askedWith = m_api->tokenStore().token();
    const auto stale = [&] { return !self || m_api->tokenStore().token() != askedWith; };
    try {
        const AccountUsage usage = co_await api().account();
        if (!stale())
            applyUsage(usage);
    } catch (const APIError& e) {
        if (stale())
            co_return;
        if (e.kind() == APIError::Case::signInRequired)
            resetLocalState();
        else
            qCCritical(lcAccountStore, "Usage refresh failed: %s", qUtf8Printable(e.localizedDescription()));
    } catch (const Cancelled&) {
    } catch (const std::exception& e) {
        if (self)
            qCCritical(lcAccountStore, "Usage refresh failed: %s", qUtf8Printable(describe(e)));
    }
}

void AccountStore::applyUsage(const AccountUsage& usage)
{
    setUsage(usage);
    applyUser(usage.user);
}

void AccountStore::applyUser(const APIUser& user)
{
    setUser(user);
    setHasSession(tokenStored());
    setSignedIn(!user.isAnonymous.value_or(false));
}

void AccountStore::resetLocalState()
{
    setSignedIn(false);
    setHasSession(tokenStored());
    setUser(std::nullopt);
    setUsage(std::nullopt);
}

// ---- sign-in sheet

QCoro::Task<bool> AccountStore::requireSignIn()
{
    if (!m_signInWaiters)
        m_signInWaiters = std::make_shared<SharedResult<bool>>();
    const auto waiters = m_signInWaiters;
    presentSignIn(SignInReason::required);
    const bool outcome = co_await waiters->wait();
    co_return outcome;
}

void AccountStore::presentSignIn(SignInReason reason)
{
    setErrorMessage(std::nullopt);
    setSignInReason(reason);
    setSignInPresented(true);
}

void AccountStore::signInSheetDismissed()
{
    setSignInPresented(false);
    resumeSignInWaiters(tokenStored());
}

void AccountStore::resumeSignInWaiters(bool outcome)
{
    // The list is emptied before anybody resumes: a caller that asks again waits for the next
    // outcome.
    const auto waiters = std::move(m_signInWaiters);
    m_signInWaiters.reset();
    if (waiters)
        waiters->resolve(outcome);
}

// ---- sign-in, sign-out, deletion

QCoro::Task<void> AccountStore::signInWithGoogle()
{
    QPointer<AccountStore> self(this);
    setErrorMessage(std::nullopt);
    std::optional<GoogleCredential> credential;
    try {
        credential = co_await GoogleSignInService::signIn();
    } catch (const Cancelled&) {
        co_return;
    } catch (const Error& e) {
        if (!self)
            co_return;
        // The user declined or closed the wait: nothing to say.
        if (const auto* oauth = dynamic_cast<const OAuthError*>(&e); oauth && oauth->kind() == OAuthError::Case::canceled)
            co_return;
        setErrorMessage(e.localizedDescription());
        co_return;
    }
    if (!self)
        co_return;
    const SocialSignInRequest request = googleSignInRequest(*credential);
    const QPointer<APIClient> client = m_api;
    const std::function<QCoro::Task<void>()> perform = [client, request] {
        return signInSocialOperation(client, request);
    };
    co_await signIn(AuthProvider::google, perform);
}

QCoro::Task<void> AccountStore::signIn(AuthProvider provider, std::function<QCoro::Task<void>()> perform)
{
    QPointer<AccountStore> self(this);
    setAuthenticating(true);
    std::exception_ptr failure;
    try {
        co_await perform();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const Cancelled&) {
        } catch (const Error& e) {
            setErrorMessage(e.localizedDescription());
        } catch (const std::exception& e) {
            setErrorMessage(describe(e));
        }
        setAuthenticating(false);
        co_return;
    }

    m_defaults->setValue(lastAuthProviderKey, rawProvider(provider));
    setSignedIn(true);
    setHasSession(true);
    setSessionEnded(false);
    setErrorMessage(std::nullopt);
    co_await refreshUsage();
    if (!self)
        co_return;
    setSignInPresented(false);
    resumeSignInWaiters(true);
    if (onSignedIn) {
        // The waiters resume through queued calls; queue behind them so that they run first.
        co_await afterQueuedCalls();
        if (!self)
            co_return;
        const auto hook = onSignedIn;
        try {
            co_await hook();
        } catch (const Cancelled&) {
        } catch (const std::exception& e) {
            qCInfo(lcAccountStore, "After sign-in: %s", qUtf8Printable(describe(e)));
        }
        if (!self)
            co_return;
    }
    setAuthenticating(false);
}

QCoro::Task<void> AccountStore::signOut()
{
    QPointer<AccountStore> self(this);
    try {
        co_await api().signOut();
    } catch (const Cancelled&) {
        co_return;
    }
    if (!self)
        co_return;
    GoogleSignInService::signOut();
    m_defaults->remove(lastAuthProviderKey);
    resetLocalState();
    co_await restoreSession();
}

QCoro::Task<void> AccountStore::deleteAccount()
{
    QPointer<AccountStore> self(this);
    // Only the session at hand may delete: a silent re-authentication here would start a fresh
    // account and delete that one instead.
    co_await api().deleteAccount();
    if (!self)
        co_return;
    api().tokenStore().clear();
    co_await GoogleSignInService::disconnect();
    if (!self)
        co_return;
    m_defaults->remove(lastAuthProviderKey);
    resetLocalState();
    co_await restoreSession();
}

} // namespace hf
