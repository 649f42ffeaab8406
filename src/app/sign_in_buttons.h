#pragma once

// The two provider buttons with the busy line and the error line under them, as the sign-in
// sheet and the settings window show them. Apple runs the web sign-in in the user's browser (a
// hand-off with the backend, the provider's page, the link back through the application's own
// scheme, the code exchange); Google runs the account state's Google sign-in, which also opens
// the browser. Only one such browser sign-in waits at a time: starting one ends the other's wait,
// and closing the buttons (hiding or destroying them) ends a wait still open, so nothing waits forever for
// a browser the user has left. A sign-in exchange already under way is left to finish.
//
// The buttons are inert while the account state is authenticating; the busy line ("Signing in")
// shows meanwhile, and the error line shows the account state's error message.

#include "backend/account_records.h"
#include "platform/url_opener.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QLabel;

namespace hf {

class APIClient;
class AccountStore;

namespace ui {
class ProviderSignInButton;
}

// What the web sign-in needs beyond the account state.
struct WebSignInService {
    APIClient* api = nullptr;             // the one backend client: the hand-off and the code exchange
    URLOpener opener = systemURLOpener(); // opens the provider's page (tests stand in for the browser)
};

class PendingWebSignIn;

class SignInButtons : public QWidget {
    Q_OBJECT

public:
    // `spacing`: the gap between the two provider buttons; `maxWidth`: the widest their column
    // grows. Neither `account` nor the service's client is owned.
    SignInButtons(AccountStore* account, WebSignInService service, double spacing, double maxWidth,
                  QWidget* parent = nullptr);
    ~SignInButtons() override;

    // The buttons' actions.
    void signInWithApple();
    void signInWithGoogle();

    // A browser sign-in started here still waits for the browser.
    bool isWaitingForBrowser() const;
    // Ends a browser wait started here, silently.
    void cancelBrowserWait();

    ui::ProviderSignInButton* appleButton() const { return m_apple; }
    ui::ProviderSignInButton* googleButton() const { return m_google; }

protected:
    // Closed (hidden by the program, not minimised) while a browser sign-in waits: it ends.
    void hideEvent(QHideEvent* event) override;

private:
    void refresh();

    QPointer<AccountStore> m_account;
    WebSignInService m_service;
    std::weak_ptr<PendingWebSignIn> m_pendingWeb;
    bool m_googleStartedHere = false;

    QWidget* m_providers;
    ui::ProviderSignInButton* m_apple;
    ui::ProviderSignInButton* m_google;
    QWidget* m_busy;
    QLabel* m_error;
    QPointer<QWidget> m_keyboardReturnsTo;   // the provider button that had the keyboard
};

} // namespace hf
