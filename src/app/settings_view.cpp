#include "app/settings_view.h"

#include "app/app_updater.h"
#include "app/fine_print_link_style.h"
#include "app/wrapping_label.h"
#include "backend/account_store.h"
#include "backend/bundle_configuration.h"
#include "coordinator/engine_coordinator.h"
#include "editor/ambience_control.h"
#include "editor/option_row.h"
#include "platform/async.h"
#include "platform/errors.h"
#include "platform/logging.h"
#include "platform/texts.h"
#include "ui_kit/accessibility.h"
#include "ui_kit/buttons.h"
#include "ui_kit/layouts.h"
#include "ui_kit/palette.h"
#include "ui_kit/screen_fit.h"
#include "ui_kit/sections.h"
#include "ui_kit/text_styles.h"

#include <QAbstractButton>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace hf {

HF_LOGGING_CATEGORY(lcSettings, "SettingsView")

QString signedInAsText(const APIUser& user)
{
    if (user.name && !user.name->isEmpty())
        return *user.name;
    // An empty e-mail says nothing about the account: the identifier does.
    if (user.email && !user.email->isEmpty())
        return *user.email;
    return user.id;
}

namespace {

// The red of destructive actions; the kit has no named colour for them.
QColor destructiveColor()
{
    return QColor(0xE5, 0x48, 0x4D);
}

// Text of a row that speaks as one line; a class of its own so that its accessibility follows
// the kit's rules before QLabel's.
class RowText : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;
};

// `silent`: hidden from assistive technologies (decided before anything asks about the label).
QLabel* wrappingText(const QString& content, ui::TextStyle style, ui::ColorName colour, QWidget* parent,
                     bool silent = false)
{
    auto* label = new RowText(parent);
    if (silent)
        ui::hideFromAccessibility(label);
    label->setText(content);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    ui::setTextStyle(label, style);
    ui::setForeground(label, colour);
    return label;
}

// "Delete account" in red on the quiet face, or a turning arc while the deletion runs.
class DeleteButton : public QAbstractButton {
public:
    explicit DeleteButton(QWidget* parent) : QAbstractButton(parent)
    {
        setText(hf::text("ui.settings.delete.button", "Delete account"));
        setAccessibleName(text());
        setFocusPolicy(Qt::StrongFocus);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        m_spin.setInterval(60);
        connect(&m_spin, &QTimer::timeout, this, [this] {
            m_step = (m_step + 1) % 12;
            update();
        });
    }

    void setBusy(bool busy)
    {
        m_busy = busy;
        busy ? m_spin.start() : m_spin.stop();
        update();
    }

    QSize sizeHint() const override
    {
        const QFontMetrics metrics(ui::font(ui::TextStyle::body, QFont::DemiBold));
        return {metrics.horizontalAdvance(text()) + 28, std::max(32, metrics.height() + 16)};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(ui::roundedRectPath(rect(), 12),
                   ui::color(isDown() ? ui::ColorName::ControlSelected : ui::ColorName::ControlFill));
        if (m_busy) {
            const double r = 7;
            const QRectF arc(width() / 2.0 - r, height() / 2.0 - r, 2 * r, 2 * r);
            p.setPen(QPen(ui::color(ui::ColorName::Muted), 2, Qt::SolidLine, Qt::RoundCap));
            p.drawArc(arc, -m_step * 30 * 16, 270 * 16);
        } else {
            p.setFont(ui::font(ui::TextStyle::body, QFont::DemiBold));
            p.setPen(isEnabled() ? destructiveColor() : ui::color(ui::ColorName::DisabledText));
            p.drawText(rect(), Qt::AlignCenter, text());
        }
        ui::paintContrastEdge(p, rect(), 12, ui::color(ui::ColorName::ControlStroke));
        if (hasFocus())
            ui::paintFocusRing(p, rect(), 12);
    }

private:
    bool m_busy = false;
    int m_step = 0;
    QTimer m_spin;
};

QWidget* padded(QWidget* child, int vertical)
{
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, vertical, 0, vertical);
    layout->addWidget(child);
    return box;
}

} // namespace

SettingsView::SettingsView(SettingsEnvironment environment, QWidget* parent)
    : QScrollArea(parent),
      m_environment(std::move(environment)),
      m_account(m_environment.account),
      m_coordinator(m_environment.coordinator)
{
    setObjectName(QStringLiteral("settings.form"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    // The form itself is no stop for Tab: its controls are, and each is scrolled into view when
    // it takes the focus.
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui::setBackground(this, ui::ColorName::Paper);
    ui::setBackground(viewport(), ui::ColorName::Paper);

    auto* content = new QWidget;
    ui::setBackground(content, ui::ColorName::Paper);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 20, 20, 24);
    column->setSpacing(18);

    // 1. Account.
    auto* account = new ui::FrameSection(text("ui.settings.account.header", "Account"), content);
    account->setObjectName(QStringLiteral("settings.account"));
    auto* accountContent = new QWidget(account);
    auto* accountColumn = new QVBoxLayout(accountContent);
    accountColumn->setContentsMargins(0, 0, 0, 0);
    accountColumn->setSpacing(10);

    m_signedIn = new QWidget(accountContent);
    auto* signedInColumn = new QVBoxLayout(m_signedIn);
    signedInColumn->setContentsMargins(0, 0, 0, 0);
    signedInColumn->setSpacing(10);
    auto* row = new ui::AdaptiveStack(8, m_signedIn);
    m_accountRow = row;
    row->setObjectName(QStringLiteral("settings.signedInAs"));
    auto* rowTitle = wrappingText(text("ui.settings.account.signedInAs", "Signed in as"), ui::TextStyle::body,
                                  ui::ColorName::Ink, row, true);
    m_accountValue = wrappingText(QString(), ui::TextStyle::body, ui::ColorName::SecondaryText, row, true);
    m_accountValue->setObjectName(QStringLiteral("settings.signedInAs.value"));
    m_accountValue->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(rowTitle, 1);
    row->addWidget(m_accountValue);
    // The row reads as one line of text: its parts are silent.
    auto* signOutButton = new ui::QuietButton(text("ui.settings.account.signOut", "Sign out"), m_signedIn);
    signOutButton->setObjectName(QStringLiteral("settings.signOut"));
    signOutButton->setFillsWidth(false);
    connect(signOutButton, &QAbstractButton::clicked, this, &SettingsView::signOut);
    signedInColumn->addWidget(row);
    signedInColumn->addWidget(signOutButton, 0, Qt::AlignLeft);

    m_signedOut = new QWidget(accountContent);
    auto* signedOutColumn = new QVBoxLayout(m_signedOut);
    signedOutColumn->setContentsMargins(0, 0, 0, 0);
    signedOutColumn->setSpacing(8);
    auto* notSignedIn = wrappingText(text("ui.account.notSignedIn", "Not signed in"), ui::TextStyle::body,
                                     ui::ColorName::Ink, m_signedOut);
    notSignedIn->setObjectName(QStringLiteral("settings.notSignedIn"));
    m_sessionEnded = wrappingText(text("ui.settings.account.sessionEnded",
                                       "Your sign-in on this device ended. Sign in again to use your history here."),
                                  ui::TextStyle::callout, ui::ColorName::Ink, m_signedOut);
    m_sessionEnded->setObjectName(QStringLiteral("settings.sessionEnded"));
    auto* pitch = wrappingText(text("ui.account.syncPitch", "Sign in to sync across devices and keep your history."),
                               ui::TextStyle::callout, ui::ColorName::SecondaryText, m_signedOut);
    pitch->setObjectName(QStringLiteral("settings.syncPitch"));
    m_signInButtons = new SignInButtons(m_account, m_environment.signIn, 10, 320, m_signedOut);
    signedOutColumn->addWidget(notSignedIn);
    signedOutColumn->addWidget(m_sessionEnded);
    signedOutColumn->addWidget(pitch);
    signedOutColumn->addWidget(padded(m_signInButtons, 4));

    accountColumn->addWidget(m_signedIn);
    accountColumn->addWidget(m_signedOut);
    account->addRow(accountContent);
    column->addWidget(account);

    // 2. The last message of an account operation.
    m_messageSection = new ui::FrameSection(QString(), content);
    m_messageSection->setObjectName(QStringLiteral("settings.message"));
    m_messageLabel = wrappingText(QString(), ui::TextStyle::callout, ui::ColorName::SecondaryText, m_messageSection);
    m_messageLabel->setObjectName(QStringLiteral("settings.message.text"));
    m_messageSection->addRow(m_messageLabel);
    m_messageSection->hide();
    column->addWidget(m_messageSection);

    // 3. Output.
    auto* output = new ui::FrameSection(text("ui.settings.output.header", "Output"), content);
    output->setObjectName(QStringLiteral("settings.output"));
    m_ambience = new AmbienceControl(text("ui.settings.output.ambience", "Default ambience"), output);
    m_ambience->setObjectName(QStringLiteral("settings.ambience"));
    connect(m_ambience, &AmbienceControl::changeRequested, this, [this](double level) {
        if (m_coordinator)
            m_coordinator->setAmbience(level);
    });
    output->addRow(padded(m_ambience, 6));
    output->addRow(wrappingText(text("ui.settings.output.ambienceHelp",
                                     "Ambience controls how much of the sound effects and room tone stay in the "
                                     "clean soundtrack."),
                                ui::TextStyle::body, ui::ColorName::Muted, output));
    m_sourceRow = new OptionRow(OptionRow::Kind::radio, text("ui.export.option.source", "Same as source"),
                                text("ui.export.option.source.detail", "Picture copied as is, soundtrack replaced"),
                                output);
    m_sourceRow->setObjectName(QStringLiteral("settings.format.source"));
    m_losslessRow = new OptionRow(OptionRow::Kind::radio, text("ui.export.option.lossless", "Lossless PCM .mov"),
                                  text("ui.export.option.lossless.detail", "Uncompressed soundtrack, same picture"),
                                  output);
    m_losslessRow->setObjectName(QStringLiteral("settings.format.lossless"));
    auto chooseQuality = [this](AudioQuality quality) {
        // Stored on every choice, the one already chosen included.
        if (m_coordinator)
            m_coordinator->modifySettings([quality](SeparationSettings& settings) { settings.audioQuality = quality; });
    };
    connect(m_sourceRow, &QAbstractButton::clicked, this, [chooseQuality] { chooseQuality(AudioQuality::aac); });
    connect(m_losslessRow, &QAbstractButton::clicked, this,
            [chooseQuality] { chooseQuality(AudioQuality::losslessPCM); });
    output->addRow(m_sourceRow);
    output->addRow(m_losslessRow);
    column->addWidget(output);

    // 4. Song check.
    auto* songCheck = new ui::FrameSection(text("ui.copyright.card.title", "Copyright check"), content);
    m_songCheckRow = new OptionRow(
        OptionRow::Kind::check, text("ui.copyright.setting.title", "Check for copyrighted songs automatically"),
        text("ui.copyright.setting.detail",
             "After a full clean, the original audio is checked for known songs, and each one against the cleaned "
             "audio. The audio is sent to a song-recognition service for matching."),
        songCheck);
    m_songCheckRow->setObjectName(QStringLiteral("settings.copyrightCheck"));
    connect(m_songCheckRow, &QAbstractButton::clicked, this, [this] {
        if (m_coordinator)
            m_coordinator->modifySettings(
                [](SeparationSettings& settings) { settings.checkSongsAutomatically = !settings.checkSongsAutomatically; });
    });
    songCheck->addRow(m_songCheckRow);
    column->addWidget(songCheck);

    // 5. Help.
    auto* help = new ui::FrameSection(text("ui.settings.help.header", "Help"), content);
    auto* helpButton = new WrappingLabel(text("ui.settings.help.topics", "Help and support"),
                                         QStringLiteral("questionmark.circle"), help);
    helpButton->setObjectName(QStringLiteral("settings.help"));
    connect(helpButton, &QAbstractButton::clicked, this, [this] {
        if (m_environment.openHelp)
            m_environment.openHelp();
    });
    help->addRow(helpButton);
    column->addWidget(help);

    // 6. About.
    auto* about = new ui::FrameSection(text("ui.settings.about.header", "About"), content);
    auto* aboutContent = new QWidget(about);
    auto* aboutColumn = new QVBoxLayout(aboutContent);
    aboutColumn->setContentsMargins(0, 0, 0, 0);
    aboutColumn->setSpacing(10);
    aboutColumn->addWidget(wrappingText(text("ui.settings.about.updates",
                                             "Hushframe checks for updates once a day and tells you when a new "
                                             "version is available.",
                                             TextTable::Direct),
                                        ui::TextStyle::callout, ui::ColorName::SecondaryText, aboutContent));
    m_checkForUpdates = new ui::QuietButton(
        text("ui.menu.checkForUpdates", "Check for Updates...", TextTable::Direct), aboutContent);
    m_checkForUpdates->setObjectName(QStringLiteral("settings.checkForUpdates"));
    m_checkForUpdates->setFillsWidth(false);
    if (AppUpdater* updater = m_environment.updater) {
        m_checkForUpdates->setEnabled(updater->canCheckForUpdates());
        connect(updater, &AppUpdater::canCheckForUpdatesChanged, m_checkForUpdates, &QWidget::setEnabled);
        connect(m_checkForUpdates, &QAbstractButton::clicked, updater, &AppUpdater::checkForUpdates);
    } else {
        m_checkForUpdates->setEnabled(false);
    }
    aboutColumn->addWidget(m_checkForUpdates, 0, Qt::AlignLeft);
    auto* links = new QWidget(aboutContent);
    auto* flow = new ui::FlowLayout(16, 0, links);
    flow->setContentsMargins(0, 0, 0, 0);
    auto* privacy = new FinePrintLink(text("ui.legal.privacy", "Privacy policy"), privacyURL(), m_environment.opener, links);
    privacy->setObjectName(QStringLiteral("settings.privacy"));
    auto* terms = new FinePrintLink(text("ui.legal.terms", "Terms of use"), termsURL(), m_environment.opener, links);
    terms->setObjectName(QStringLiteral("settings.terms"));
    flow->addWidget(privacy);
    flow->addWidget(terms);
    aboutColumn->addWidget(links);
    about->addRow(aboutContent);
    column->addWidget(about);

    // 7. Deletion.
    m_deleteSection = new ui::FrameSection(QString(), content);
    m_deleteSection->setObjectName(QStringLiteral("settings.delete"));
    auto* deleteContent = new QWidget(m_deleteSection);
    auto* deleteColumn = new QVBoxLayout(deleteContent);
    deleteColumn->setContentsMargins(0, 0, 0, 0);
    deleteColumn->setSpacing(8);
    m_deleteButton = new DeleteButton(deleteContent);
    m_deleteButton->setObjectName(QStringLiteral("settings.deleteAccount"));
    connect(m_deleteButton, &QAbstractButton::clicked, this, &SettingsView::requestDeletion);
    deleteColumn->addWidget(m_deleteButton, 0, Qt::AlignLeft);
    deleteColumn->addWidget(wrappingText(text("ui.settings.delete.footnote",
                                              "Deletes your account and all data on Hushframe's servers."),
                                         ui::TextStyle::body, ui::ColorName::SecondaryText, deleteContent));
    m_deleteSection->addRow(deleteContent);
    column->addWidget(m_deleteSection);
    column->addStretch(1);
    setWidget(content);

    if (m_account) {
        for (auto signal : {&AccountStore::isSignedInChanged, &AccountStore::userChanged,
                            &AccountStore::sessionEndedChanged, &AccountStore::hasSessionChanged})
            connect(m_account, signal, this, &SettingsView::refreshAccount);
    }
    if (m_coordinator)
        connect(m_coordinator, &EngineCoordinator::settingsChanged, this, &SettingsView::refreshSettings);
    ui::localizedTypesetting(this);
    refreshAccount();
    refreshSettings();
}

SettingsView::~SettingsView() = default;

void SettingsView::showEvent(QShowEvent* event)
{
    QScrollArea::showEvent(event);
    if (event->spontaneous() || !m_account)
        return;
    // The account record may have changed elsewhere; a failure is the account state's to log.
    spawn(m_account->refreshUsage(), lcSettings(), QStringLiteral("Account refresh"));
}

void SettingsView::refreshAccount()
{
    const bool signedIn = m_account && m_account->isSignedIn();
    QWidget* arriving = signedIn ? m_signedIn : m_signedOut;
    QWidget* leaving = signedIn ? m_signedOut : m_signedIn;
    // A part that goes while it has the keyboard hands it to the part taking its place ("Sign out"
    // for the sign-in buttons and back): hidden with it, the keyboard would go to whatever follows
    // the section. The new state is told, once the signed-in account's record is there.
    const QWidget* focus = QApplication::focusWidget();
    if (focus && leaving->isVisible() && leaving->isAncestorOf(focus)) {
        arriving->setVisible(true);
        if (QWidget* next = ui::firstStopWithin(arriving))
            next->setFocus(Qt::OtherFocusReason);
        m_tellSignedIn = signedIn;
        if (!signedIn)
            ui::announce(this, text("ui.account.notSignedIn", "Not signed in"));
    }
    m_signedIn->setVisible(signedIn);
    m_signedOut->setVisible(!signedIn);
    const std::optional<APIUser> user = m_account ? m_account->user() : std::nullopt;
    m_accountRow->setVisible(signedIn && user.has_value());
    if (user) {
        m_accountValue->setText(signedInAsText(*user));
        m_accountRow->setAccessibleName(text("ui.settings.account.signedInAs", "Signed in as") + QStringLiteral(", ")
                                        + m_accountValue->text());
    }
    if (m_tellSignedIn && signedIn && user && !user->isAnonymous.value_or(false)) {
        m_tellSignedIn = false;
        ui::announce(this, m_accountRow->accessibleName());
    }
    m_sessionEnded->setVisible(m_account && m_account->sessionEnded());
    m_deleteSection->setVisible(m_account && m_account->hasSession());
}

void SettingsView::refreshSettings()
{
    if (!m_coordinator)
        return;
    const SeparationSettings& settings = m_coordinator->settings();
    m_ambience->setValue(settings.ambience);
    m_sourceRow->setOn(settings.audioQuality == AudioQuality::aac);
    m_losslessRow->setOn(settings.audioQuality == AudioQuality::losslessPCM);
    m_songCheckRow->setOn(settings.checkSongsAutomatically);
}

void SettingsView::signOut()
{
    if (m_account)
        spawn(m_account->signOut(), lcSettings(), QStringLiteral("Sign-out"));
}

void SettingsView::requestDeletion()
{
    if (m_isDeleting || m_confirmation)
        return;
    auto* box = new QMessageBox(QMessageBox::Warning, text("ui.settings.delete.confirmTitle", "Delete your Hushframe account?"),
                                text("ui.settings.delete.confirmTitle", "Delete your Hushframe account?"),
                                QMessageBox::Cancel, this);
    box->setObjectName(QStringLiteral("settings.deleteConfirmation"));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(text("ui.settings.delete.confirmMessage.direct",
                                 "This permanently deletes your account, job history and any audio stored on "
                                 "Hushframe's servers.",
                                 TextTable::Direct));
    QPushButton* confirm = box->addButton(text("ui.settings.delete.button", "Delete account"), QMessageBox::DestructiveRole);
    confirm->setObjectName(QStringLiteral("settings.deleteConfirmation.delete"));
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(confirm, &QAbstractButton::clicked, this, &SettingsView::deleteAccount);
    m_confirmation = box;
    box->open();
}

void SettingsView::deleteAccount()
{
    if (m_isDeleting || !m_account)
        return;
    setDeleting(true);
    // The deletion finishes its work whether or not this window is still there when it ends: the
    // deleted account's video is closed all the same.
    auto run = [](QPointer<SettingsView> self, QPointer<AccountStore> account,
                  QPointer<EngineCoordinator> coordinator) -> QCoro::Task<void> {
        std::optional<QString> failure;
        try {
            co_await account->deleteAccount();
        } catch (const Cancelled&) {
            failure = QString();
        } catch (const Error& error) {
            failure = error.localizedDescription();
        }
        if (!failure && coordinator)
            coordinator->clearSource();
        if (!self)
            co_return;
        if (!failure) {
            self->setMessage(std::nullopt);
        } else if (!failure->isEmpty()) {
            self->setMessage(*failure);
        }
        self->setDeleting(false);
        Q_EMIT self->deletionFinished();
    };
    spawn(run(this, m_account, m_coordinator), lcSettings(), QStringLiteral("Account deletion"));
}

void SettingsView::setDeleting(bool deleting)
{
    m_isDeleting = deleting;
    static_cast<DeleteButton*>(m_deleteButton)->setBusy(deleting);
    m_deleteButton->setEnabled(!deleting);
    m_deleteButton->setAccessibleName(deleting ? text("ui.settings.delete.busy", "Deleting account")
                                               : text("ui.settings.delete.button", "Delete account"));
}

void SettingsView::setMessage(std::optional<QString> message)
{
    m_message = std::move(message);
    m_messageLabel->setText(m_message.value_or(QString()));
    m_messageSection->setVisible(m_message.has_value());
}

} // namespace hf

#include "settings_view.moc"
