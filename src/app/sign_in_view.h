#pragma once

// The sign-in sheet's content: a title and an explanation chosen by why the sheet is shown (the
// account state's sign-in reason, followed live), the provider buttons with their busy and error
// lines, "Not now", and the links to the terms of use and the privacy policy.
//
// How the main window shows it: while AccountStore::isSignInPresented is true it lays
//     auto* sheet = new SignInView(&services.account(), WebSignInService{&services.api()});
// on its sheet host and connects SignInView::dismissRequested ("Not now" or Escape) to its own
// closing of the sheet (AccountStore::setSignInPresented(false), then signInSheetDismissed()).
// A successful sign-in clears isSignInPresented by itself, and the window then removes the sheet.
// Destroying the sheet ends a browser sign-in that still waits (see SignInButtons).

#include "app/sign_in_buttons.h"

#include <QPointer>
#include <QWidget>

class QLabel;

namespace hf {

class AccountStore;
class FinePrintLink;

class SignInView : public QWidget {
    Q_OBJECT

public:
    // `account` is not owned. The legal links open in the service's opener (the browser).
    SignInView(AccountStore* account, WebSignInService service, QWidget* parent = nullptr);

    SignInButtons* buttons() const { return m_buttons; }

Q_SIGNALS:
    // "Not now" was pressed, or Escape: the window closes the sheet.
    void dismissRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void showReason();

    QPointer<AccountStore> m_account;
    QLabel* m_title;
    QLabel* m_detail;
    SignInButtons* m_buttons;
};

} // namespace hf
