#include "app/sign_in_view.h"

#include "app/fine_print_link_style.h"
#include "backend/account_store.h"
#include "backend/bundle_configuration.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/layouts.h"
#include "ui_kit/palette.h"
#include "ui_kit/provider_sign_in_button.h"
#include "ui_kit/text_styles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <mutex>

namespace hf {


SignInView::SignInView(AccountStore* account, WebSignInService service, QWidget* parent)
    : QWidget(parent), m_account(account)
{
    setObjectName(QStringLiteral("signIn.sheet"));
    setMinimumWidth(420);
    ui::setBackground(this, ui::ColorName::Surface);

    // The padded column, at most 440 wide, at the top leading corner of the sheet.
    auto* column = new QWidget(this);
    column->setMaximumWidth(440);
    auto* content = new QVBoxLayout(column);
    content->setContentsMargins(28, 28, 28, 28);
    content->setSpacing(22);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(0, 8, 0, 0);
    header->setSpacing(8);
    m_title = new QLabel(column);
    ui::presentAsHeading(m_title);
    m_title->setObjectName(QStringLiteral("signIn.title"));
    m_title->setWordWrap(true);
    ui::applyHeadingStyle(m_title, ui::TextStyle::title2);
    ui::setForeground(m_title, ui::ColorName::Ink);
    m_detail = new QLabel(column);
    m_detail->setObjectName(QStringLiteral("signIn.detail"));
    m_detail->setWordWrap(true);
    ui::setTextStyle(m_detail, ui::TextStyle::body);
    ui::setForeground(m_detail, ui::ColorName::Muted);
    header->addWidget(m_title);
    header->addWidget(m_detail);
    content->addLayout(header);

    m_buttons = new SignInButtons(account, service, 10, 320, column);
    content->addWidget(m_buttons);

    auto* notNow = new ui::QuietButton(text("ui.common.notNow", "Not now"), column);
    notNow->setObjectName(QStringLiteral("signIn.notNow"));
    notNow->setMinHeight(44);
    notNow->setFillsWidth(false);
    content->addWidget(notNow, 0, Qt::AlignLeft);
    connect(notNow, &QAbstractButton::clicked, this, &SignInView::dismissRequested);

    auto* links = new QWidget(column);
    links->setObjectName(QStringLiteral("signIn.legal"));
    auto* flow = new ui::FlowLayout(16, 0, links);
    flow->setContentsMargins(0, 0, 0, 0);
    auto* terms = new FinePrintLink(text("ui.legal.terms", "Terms of use"), termsURL(), service.opener, links);
    terms->setObjectName(QStringLiteral("signIn.terms"));
    auto* privacy = new FinePrintLink(text("ui.legal.privacy", "Privacy policy"), privacyURL(), service.opener, links);
    privacy->setObjectName(QStringLiteral("signIn.privacy"));
    flow->addWidget(terms);
    flow->addWidget(privacy);
    content->addWidget(links);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(column, 1);
    row->addStretch(0);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addLayout(row);
    outer->addStretch(1);

    ui::localizedTypesetting(this);
    if (m_account)
        connect(m_account, &AccountStore::signInReasonChanged, this, &SignInView::showReason);
    showReason();
}

void SignInView::keyPressEvent(QKeyEvent* event)
{
    // Escape does what "Not now" does (the sheet's cancel action).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        Q_EMIT dismissRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

void SignInView::showReason()
{
    const bool required = m_account && m_account->signInReason() == SignInReason::required;
    if (required) {
        m_title->setText(text("ui.signIn.required.title", "Sign in to keep going"));
        // It names the providers whose buttons show: a build without a Google client shows Apple's alone.
        if (m_buttons->googleButton()->isHidden())
            m_detail->setText(text("ui.signIn.required.detail.appleOnly",
                                   "Hushframe couldn't start a new account on this network today. Sign in with Apple "
                                   "to preview and clean videos."));
        else
            m_detail->setText(text("ui.signIn.required.detail",
                                   "Hushframe couldn't start a new account on this network today. Sign in with Apple "
                                   "or Google to preview and clean videos."));
    } else {
        m_title->setText(text("ui.signIn.sync.title", "Sign in to sync across devices"));
        m_detail->setText(text("ui.signIn.sync.detail",
                               "Keep your history on every computer and device you sign in on. Everything you did before "
                               "signing in comes with you. Hushframe never posts anything or reads your contacts."));
    }
    m_title->setAccessibleName(m_title->text());
    m_detail->setAccessibleName(m_detail->text());
}

} // namespace hf

