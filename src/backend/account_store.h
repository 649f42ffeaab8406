#pragma once

// The observable account: who the user is, whether a session exists and whose it is, and the
// state of the sign-in sheet; with the session lifecycle (restore, ensure, silent start, refresh,
// local reset) and the user's operations (sign-in, sign-out, account deletion). One instance,
// main thread only. Its policy: there is always a session if the backend can give one.

#include "backend/account_records.h"
#include "backend/api_client.h"
#include "platform/async.h"
#include "platform/settings_store.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace hf {

// Why the sign-in sheet is shown: the user asked, or work cannot go on without an account.
enum class SignInReason { sync, required };

class AccountStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<hf::APIUser> user READ user NOTIFY userChanged)
    Q_PROPERTY(std::optional<hf::AccountUsage> usage READ usage NOTIFY usageChanged)
    Q_PROPERTY(bool hasSession READ hasSession NOTIFY hasSessionChanged)
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY isSignedInChanged)
    Q_PROPERTY(bool isAuthenticating READ isAuthenticating NOTIFY isAuthenticatingChanged)
    Q_PROPERTY(bool isSignInPresented READ isSignInPresented WRITE setSignInPresented NOTIFY isSignInPresentedChanged)
    Q_PROPERTY(hf::SignInReason signInReason READ signInReason NOTIFY signInReasonChanged)
    Q_PROPERTY(std::optional<QString> errorMessage READ errorMessage WRITE setErrorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(bool sessionEnded READ sessionEnded NOTIFY sessionEndedChanged)

public:
    // The user defaults key of the provider of the last completed provider sign-in.
    static inline const QString lastAuthProviderKey = QStringLiteral("hf_last_auth_provider");

    // Installs the silent re-authenticator and the session-invalidated hook on `api`, both holding
    // this object weakly. Neither `api` nor `defaults` is owned.
    AccountStore(APIClient* api, SettingsStore* defaults, QObject* parent = nullptr);
    ~AccountStore() override;

    const std::optional<APIUser>& user() const { return m_user; }
    const std::optional<AccountUsage>& usage() const { return m_usage; }
    bool hasSession() const { return m_hasSession; }
    bool isSignedIn() const { return m_isSignedIn; }
    bool isAuthenticating() const { return m_isAuthenticating; }
    bool isSignInPresented() const { return m_isSignInPresented; }
    SignInReason signInReason() const { return m_signInReason; }
    const std::optional<QString>& errorMessage() const { return m_errorMessage; }
    bool sessionEnded() const { return m_sessionEnded; }

    // The sheet binds both ways: closing it sets this false (and then calls signInSheetDismissed).
    void setSignInPresented(bool presented);
    void setErrorMessage(std::optional<QString> message);

    // Run after a completed sign-in and after an anonymous account was started outside a restore.
    std::function<QCoro::Task<void>()> onSignedIn;

    // ---- Session lifecycle

    // At launch: the stored session, or a new one. Never fails.
    QCoro::Task<void> restoreSession();
    // Makes sure a session token exists, starting a session when none is stored.
    QCoro::Task<void> ensureSession();
    // GET /v1/me and apply its user. Never fails.
    QCoro::Task<void> refreshUsage();
    void applyUser(const APIUser& user);
    void applyUsage(const AccountUsage& usage);
    // The silent session start behind the client's re-authentication: the Google sign-in restored,
    // else (after an ended provider session) a new anonymous account.
    QCoro::Task<bool> startSession(bool refreshAfterward);
    // Forgets the account locally after the server invalidated the session.
    void resetLocalState();

    // ---- Sign-in sheet and sign-in

    // Shows the sheet and waits for the outcome of a sign-in: true after a completed sign-in;
    // after the sheet closed, whether a session token is stored. Callers are resumed together, in
    // the order they asked.
    QCoro::Task<bool> requireSignIn();
    void presentSignIn(SignInReason reason);
    void signInSheetDismissed();
    void resumeSignInWaiters(bool outcome);

    QCoro::Task<void> signInWithGoogle();
    // Runs a provider's sign-in `perform` (which leaves a session token stored when it succeeds)
    // and takes the account to the provider state. Never fails: a failure ends in errorMessage.
    QCoro::Task<void> signIn(AuthProvider provider, std::function<QCoro::Task<void>()> perform);

    // Signs out here and on the server, then starts a new anonymous account. Never fails.
    QCoro::Task<void> signOut();
    // Deletes the account on the server (with the current session only: a lapsed session is not
    // repaired for this), then starts a new anonymous account. Throws when the deletion failed.
    QCoro::Task<void> deleteAccount();

Q_SIGNALS:
    void userChanged();
    void usageChanged();
    void hasSessionChanged();
    void isSignedInChanged();
    void isAuthenticatingChanged();
    void isSignInPresentedChanged();
    void signInReasonChanged();
    void errorMessageChanged();
    void sessionEndedChanged();

private:
    static QCoro::Task<bool> silentStart(QPointer<AccountStore> store);
    static QCoro::Task<void> refreshThenSignedIn(QPointer<AccountStore> store);
    APIClient& api() const;
    bool tokenStored() const;
    void setUser(std::optional<APIUser> user);
    void setUsage(std::optional<AccountUsage> usage);
    void setHasSession(bool value);
    void setSignedIn(bool value);
    void setAuthenticating(bool value);
    void setSignInReason(SignInReason reason);
    void setSessionEnded(bool value);

    QPointer<APIClient> m_api;
    SettingsStore* m_defaults;

    std::optional<APIUser> m_user;
    std::optional<AccountUsage> m_usage;
    bool m_hasSession = false;
    bool m_isSignedIn = false;
    bool m_isAuthenticating = false;
    bool m_isSignInPresented = false;
    SignInReason m_signInReason = SignInReason::sync;
    std::optional<QString> m_errorMessage;
    bool m_sessionEnded = false;

    std::shared_ptr<SharedResult<bool>> m_signInWaiters;
    bool m_isRestoring = false;
};

} // namespace hf
