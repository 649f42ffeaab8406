#include "app/sign_in_buttons.h"

#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/google_sign_in_service.h"
#include "backend/web_sign_in.h"
#include "platform/async.h"
#include "platform/logging.h"
#include "platform/texts.h"
#include "ui_kit/busy_indicator.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"
#include "ui_kit/provider_sign_in_button.h"
#include "ui_kit/text_styles.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace hf {

HF_LOGGING_CATEGORY(lcSignInSheet, "SignInSheet")

// One web sign-in's browser wait, which the buttons can close: once closed, a sign-in that has
// not yet opened the browser never opens it, and one that waits ends silently.
class PendingWebSignIn : public WebAuthenticating {
public:
    explicit PendingWebSignIn(URLOpener opener) : m_browser(std::move(opener)) {}

    QCoro::Task<QUrl> authenticate(QUrl url) override
    {
        if (m_closed)
            throw Cancelled();
        auto waiting = m_browser.authenticate(std::move(url));
        const QUrl callback = co_await std::move(waiting);
        co_return callback;
    }

    void close()
    {
        m_closed = true;
        m_browser.cancel();
    }
    bool isOpen() const { return !m_closed; }
    bool isWaiting() const { return m_browser.isWaiting(); }

private:
    bool m_closed = false;
    BrowserSheetAuthenticator m_browser;
};

namespace {

// The run holds the pending sign-in; the buttons hold it weakly, to close it.
QCoro::Task<void> runWebSignIn(std::shared_ptr<PendingWebSignIn> pending, QPointer<APIClient> api,
                               QPointer<AccountStore> account)
{
    if (!api || !account)
        co_return;
    auto signingIn = WebSignIn::signIn(AuthProvider::apple, api.data(), pending.get(), account.data());
    co_await std::move(signingIn);
}

} // namespace

SignInButtons::SignInButtons(AccountStore* account, WebSignInService service, double spacing, double maxWidth,
                             QWidget* parent)
    : QWidget(parent), m_account(account), m_service(std::move(service))
{
    setObjectName(QStringLiteral("signIn.buttons"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);

    // The provider buttons, one above the other, in a column no wider than `maxWidth`.
    m_providers = new QWidget(this);
    m_providers->setMaximumWidth(int(maxWidth));
    m_providers->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* providers = new QVBoxLayout(m_providers);
    providers->setContentsMargins(0, 0, 0, 0);
    providers->setSpacing(int(spacing));
    m_apple = new ui::ProviderSignInButton(ui::SignInProvider::apple, m_providers);
    m_google = new ui::ProviderSignInButton(ui::SignInProvider::google, m_providers);
    providers->addWidget(m_apple);
    providers->addWidget(m_google);
    // Without a Google client identifier the Google sign-in cannot work: no button for it.
    m_google->setVisible(GoogleSignInService::isConfigured());
    auto* providerRow = new QHBoxLayout;
    providerRow->setContentsMargins(0, 0, 0, 0);
    providerRow->addWidget(m_providers, 1);
    providerRow->addStretch(0);
    column->addLayout(providerRow);

    m_busy = new QWidget(this);
    m_busy->setObjectName(QStringLiteral("signIn.progress"));
    auto* busyRow = new QHBoxLayout(m_busy);
    busyRow->setContentsMargins(0, 0, 0, 0);
    busyRow->setSpacing(8);
    busyRow->addWidget(new ui::BusyIndicator(16, m_busy));
    auto* busyLabel = new QLabel(text("ui.signIn.progress", "Signing in"), m_busy);
    ui::setTextStyle(busyLabel, ui::TextStyle::callout);
    ui::setForeground(busyLabel, ui::ColorName::Muted);
    busyRow->addWidget(busyLabel);
    busyRow->addStretch(1);
    m_busy->setAccessibleName(busyLabel->text());
    column->addWidget(m_busy);

    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("signIn.error"));
    m_error->setWordWrap(true);
    m_error->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ui::setTextStyle(m_error, ui::TextStyle::callout);
    ui::setForeground(m_error, ui::ColorName::Ink);
    column->addWidget(m_error);

    connect(m_apple, &QAbstractButton::clicked, this, &SignInButtons::signInWithApple);
    connect(m_google, &QAbstractButton::clicked, this, &SignInButtons::signInWithGoogle);
    if (m_account) {
        connect(m_account, &AccountStore::isAuthenticatingChanged, this, &SignInButtons::refresh);
        connect(m_account, &AccountStore::errorMessageChanged, this, &SignInButtons::refresh);
    }
    refresh();
}

SignInButtons::~SignInButtons()
{
    cancelBrowserWait();
}

void SignInButtons::hideEvent(QHideEvent* event)
{
    if (!event->spontaneous())
        cancelBrowserWait();
    QWidget::hideEvent(event);
}

void SignInButtons::refresh()
{
    const bool busy = m_account && m_account->isAuthenticating();
    // Both provider buttons are inert during a sign-in exchange. Made inert with the keyboard, the
    // pressed one would drop it: the busy line holds it meanwhile, and gives it back to that
    // button when the exchange ends without taking the buttons away.
    QWidget* focus = QApplication::focusWidget();
    if (busy && focus && m_providers->isAncestorOf(focus)) {
        m_keyboardReturnsTo = focus;
        m_busy->setVisible(true);
        m_busy->setFocus(Qt::OtherFocusReason);
    }
    m_providers->setEnabled(!busy);
    if (!busy && focus == m_busy && m_keyboardReturnsTo)
        m_keyboardReturnsTo->setFocus(Qt::OtherFocusReason);
    m_busy->setVisible(busy);
    const std::optional<QString> error = m_account ? m_account->errorMessage() : std::nullopt;
    m_error->setText(error.value_or(QString()));
    m_error->setVisible(error.has_value());
}

bool SignInButtons::isWaitingForBrowser() const
{
    const auto pending = m_pendingWeb.lock();
    return (pending && pending->isOpen()) || (m_googleStartedHere && GoogleSignInService::sharedSignIn().isSigningIn());
}

void SignInButtons::cancelBrowserWait()
{
    if (const auto pending = m_pendingWeb.lock())
        pending->close();
    m_pendingWeb.reset();
    if (m_googleStartedHere && GoogleSignInService::isConfigured() && GoogleSignInService::sharedSignIn().isSigningIn())
        GoogleSignInService::cancelSignIn();
    m_googleStartedHere = false;
}

void SignInButtons::signInWithApple()
{
    if (!m_account || !m_service.api || m_account->isAuthenticating())
        return;
    // One browser sign-in at a time: an earlier wait ends silently.
    cancelBrowserWait();
    auto pending = std::make_shared<PendingWebSignIn>(m_service.opener);
    m_pendingWeb = pending;
    spawn(runWebSignIn(std::move(pending), QPointer<APIClient>(m_service.api), m_account), lcSignInSheet(),
          QStringLiteral("Web sign-in"));
}

void SignInButtons::signInWithGoogle()
{
    if (!m_account || m_account->isAuthenticating())
        return;
    cancelBrowserWait();
    m_googleStartedHere = true;
    spawn(m_account->signInWithGoogle(), lcSignInSheet(), QStringLiteral("Google sign-in"));
}

} // namespace hf
