#pragma once

// The settings window's content, one scrolling form of sections: the account (who is signed in
// and "Sign out", or the sign-in buttons), the last account message, the processing defaults
// (default ambience, export audio format), the automatic song check, help, about (update note,
// "Check for Updates...", legal links) and, while a session exists, the account deletion with a
// confirmation. Every choice is stored at once through the coordinator's settings. Each showing
// refreshes the account record. Main thread only.

#include "app/sign_in_buttons.h"
#include "backend/account_records.h"
#include "platform/url_opener.h"

#include <QMessageBox>
#include <QPointer>
#include <QScrollArea>
#include <QString>

#include <functional>
#include <optional>

class QLabel;

namespace hf {

class AccountStore;
class AmbienceControl;
class AppUpdater;
class EngineCoordinator;
class OptionRow;

namespace ui {
class FrameSection;
class QuietButton;
} // namespace ui

// The value of the "Signed in as" row: the name when it is not empty, else the e-mail when it is
// not empty, else the identifier.
QString signedInAsText(const APIUser& user);

struct SettingsEnvironment {
    AccountStore* account = nullptr;
    EngineCoordinator* coordinator = nullptr;
    AppUpdater* updater = nullptr;       // none: "Check for Updates..." stays disabled
    WebSignInService signIn;             // the sign-in buttons' web sign-in
    std::function<void()> openHelp;      // opens the help window
    URLOpener opener = systemURLOpener(); // the legal links
};

class SettingsView : public QScrollArea {
    Q_OBJECT

public:
    explicit SettingsView(SettingsEnvironment environment, QWidget* parent = nullptr);
    ~SettingsView() override;

    // The actions of the form's buttons.
    void signOut();
    void requestDeletion();          // shows the confirmation
    void deleteAccount();            // the confirmation's action

    bool isDeleting() const { return m_isDeleting; }
    const std::optional<QString>& message() const { return m_message; }
    // The confirmation while it is shown.
    QMessageBox* confirmation() const { return m_confirmation; }

Q_SIGNALS:
    // A deletion ended (successfully or not).
    void deletionFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshAccount();
    void refreshSettings();
    void setDeleting(bool deleting);
    void setMessage(std::optional<QString> message);

    SettingsEnvironment m_environment;
    QPointer<AccountStore> m_account;
    QPointer<EngineCoordinator> m_coordinator;
    bool m_isDeleting = false;
    std::optional<QString> m_message;
    QPointer<QMessageBox> m_confirmation;
    // A sign-in here moved the keyboard to "Sign out": the account is told once its record is in.
    bool m_tellSignedIn = false;

    QWidget* m_signedIn;
    QWidget* m_accountRow;
    QLabel* m_accountValue;
    QWidget* m_signedOut;
    QLabel* m_sessionEnded;
    SignInButtons* m_signInButtons;
    ui::FrameSection* m_messageSection;
    QLabel* m_messageLabel;
    AmbienceControl* m_ambience;
    OptionRow* m_sourceRow;
    OptionRow* m_losslessRow;
    OptionRow* m_songCheckRow;
    ui::QuietButton* m_checkForUpdates;
    ui::FrameSection* m_deleteSection;
    QAbstractButton* m_deleteButton;
};

} // namespace hf
