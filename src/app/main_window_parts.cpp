#include "app/main_window_parts.h"

#include "app/app_services.h"
#include "backend/account_store.h"
#include "backend/google_sign_in_service.h"
#include "backend/web_sign_in.h"
#include "coordinator/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "editor/editor_state.h"
#include "editor/empty_state_view.h"
#include "editor/inspector_view.h"
#include "editor/regular_editor_view.h"
#include "editor/soundtrack_band.h"
#include "platform/async.h"
#include "platform/texts.h"
#include "ui_kit/buttons.h"
#include "ui_kit/palette.h"
#include "ui_kit/text_styles.h"

#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

namespace hf {

namespace {

QColor dark(ui::ColorName name)
{
    return ui::color(name, ui::Appearance::dark);
}

// PLACEHOLDER of a column: a dark panel with a caption.
class PlaceholderPanel : public QWidget {
public:
    PlaceholderPanel(QString caption, ui::ColorName fill) : m_caption(std::move(caption)), m_fill(fill) {}
    void setCaption(QString caption)
    {
        m_caption = std::move(caption);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), dark(m_fill));
        p.setPen(dark(ui::ColorName::SecondaryText));
        p.setFont(ui::font(ui::TextStyle::callout));
        p.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap, m_caption);
    }

private:
    QString m_caption;
    ui::ColorName m_fill;
};

} // namespace

// ---- columns

QWidget* makeSidebar(AppServices&)
{
    return new PlaceholderPanel(QString(), ui::ColorName::Surface);
}

QWidget* makeEmptyState(AppServices& services)
{
    return new EmptyStateView(&services.coordinator());
}

void setEmptyStateDropCount(QWidget* emptyState, std::optional<int> dropCount)
{
    if (auto* view = qobject_cast<EmptyStateView*>(emptyState))
        view->setDropCount(dropCount);
}

QWidget* makeEditor(AppServices& services, const WindowActions&, LaneZoom& zoom)
{
    return new RegularEditorView(&zoom, &services.coordinator(), &services.player(), &services.account());
}

QWidget* makeInspector(AppServices& services, Exporter& exporter)
{
    return new InspectorView(&services.coordinator(), &services.player(), &exporter, &services.defaults());
}

QString windowSubtitle(AppServices& services)
{
    return EditorState{&services.coordinator(), &services.player(), &services.account()}.windowSubtitle();
}

// ---- sign-in sheet

QWidget* makeSignInSheetContent(AppServices& services, std::function<void()> close)
{
    // PLACEHOLDER: the reason, the two ways to sign in, the busy and error lines, and Not Now.
    AccountStore& account = services.account();
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("signIn.sheet"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);

    auto* title = new QLabel(text("ui.signIn.title", "Sign in to Hushframe"));
    ui::applyHeadingStyle(title, ui::TextStyle::title2);
    ui::setForeground(title, ui::ColorName::Ink);
    const bool required = account.signInReason() == SignInReason::required;
    auto* reason = new QLabel(required ? text("ui.signIn.reason.required", "Sign in to keep cleaning videos.")
                                       : text("ui.signIn.reason.sync", "Sign in to use Hushframe with your account."));
    reason->setWordWrap(true);
    ui::setForeground(reason, ui::ColorName::SecondaryText);
    auto* status = new QLabel;
    status->setObjectName(QStringLiteral("signIn.status"));
    status->setWordWrap(true);
    ui::setForeground(status, ui::ColorName::SecondaryText);

    auto* google = new ui::InkButton(text("ui.signIn.google", "Sign in with Google"));
    google->setObjectName(QStringLiteral("signIn.google"));
    google->setVisible(GoogleSignInService::isConfigured());
    auto* web = new ui::InkButton(text("ui.signIn.apple", "Sign in with Apple"));
    web->setObjectName(QStringLiteral("signIn.apple"));
    auto* notNow = new ui::QuietButton(text("ui.signIn.notNow", "Not Now"));
    notNow->setObjectName(QStringLiteral("signIn.notNow"));

    layout->addWidget(title);
    layout->addWidget(reason);
    layout->addSpacing(4);
    layout->addWidget(google);
    layout->addWidget(web);
    layout->addWidget(status);
    layout->addWidget(notNow);

    auto refresh = [content, status, google, web, &account] {
        Q_UNUSED(content);
        const bool busy = account.isAuthenticating();
        google->setEnabled(!busy);
        web->setEnabled(!busy);
        status->setText(busy ? text("ui.signIn.busy", "Signing in…") : account.errorMessage().value_or(QString()));
        status->setVisible(!status->text().isEmpty());
    };
    QObject::connect(&account, &AccountStore::isAuthenticatingChanged, content, refresh);
    QObject::connect(&account, &AccountStore::errorMessageChanged, content, refresh);
    refresh();

    QPointer<AccountStore> store = &account;
    QObject::connect(google, &QAbstractButton::clicked, content, [store] {
        if (store)
            spawn(store->signInWithGoogle(), lcApp(), QStringLiteral("Google sign-in"));
    });
    QObject::connect(web, &QAbstractButton::clicked, content, [store, &services] {
        if (!store)
            return;
        auto* authenticator = new BrowserSheetAuthenticator(systemURLOpener(), store);
        auto run = [](AuthProvider provider, APIClient* api, QPointer<BrowserSheetAuthenticator> auth,
                      AccountStore* account) -> QCoro::Task<void> {
            auto signingIn = WebSignIn::signIn(provider, api, auth.data(), account);
            co_await std::move(signingIn);
            if (auth)
                auth->deleteLater();
        };
        spawn(run(AuthProvider::apple, &services.api(), authenticator, store.data()), lcApp(),
              QStringLiteral("Web sign-in"));
    });
    QObject::connect(notNow, &QAbstractButton::clicked, content, [close] { close(); });
    return content;
}

} // namespace hf
