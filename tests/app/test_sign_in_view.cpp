// The sign-in sheet against the local server: its texts for each reason, its busy and error
// lines, closing it, and signing in from it through the web sign-in (the server's sign-in page,
// approved at once under test controls) and through the server's identity provider, with a
// stand-in browser that follows the pages' redirects.

#include "app/sign_in_buttons.h"
#include "app/sign_in_view.h"
#include "backend/account_store.h"
#include "backend/api_client.h"
#include "backend/google_sign_in_service.h"
#include "backend/web_sign_in.h"
#include "platform/async.h"
#include "platform/keychain.h"
#include "platform/network.h"
#include "platform/oauth_loopback_client.h"
#include "platform/settings_store.h"
#include "helpers_backend.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "ui_kit/environment.h"
#include "ui_kit/provider_sign_in_button.h"

#include <QAccessible>
#include <QLabel>
#include <QLoggingCategory>
#include <QMap>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace hf;
using hf::test::LocalServer;
using hf::test::saveScreenshot;

Q_LOGGING_CATEGORY(lcTest, "test.signIn")

namespace {

class MemoryKeychain final : public KeychainBackend {
public:
    QMap<QString, QByteArray> items;
    static QString keyOf(const KeychainItemQuery& q) { return QString::number(int(q.form)) + u'|' + q.service + u'|' + q.account; }
    ReadResult copyMatching(const KeychainItemQuery& q) override
    {
        if (!items.contains(keyOf(q)))
            return {};
        return {KeychainStatus::success, items.value(keyOf(q))};
    }
    int update(const KeychainItemQuery& q, const QByteArray& data) override
    {
        if (!items.contains(keyOf(q)))
            return KeychainStatus::itemNotFound;
        items[keyOf(q)] = data;
        return KeychainStatus::success;
    }
    int add(const KeychainItemQuery& q, const QByteArray& data, bool) override
    {
        items[keyOf(q)] = data;
        return KeychainStatus::success;
    }
    int remove(const KeychainItemQuery& q) override
    {
        items.remove(keyOf(q));
        return KeychainStatus::success;
    }
};

// Stands in for the user's browser: follows a page's http redirects; a redirect to the
// application's own scheme is handed to the application as a link from a later start would be.
class FakeBrowser {
public:
    enum class Mode { follow, hold };
    Mode mode = Mode::follow;
    QList<QUrl> opened;
    QNetworkAccessManager network;

    URLOpener opener()
    {
        return [this](const QUrl& url) {
            opened << url;
            if (mode == Mode::follow)
                visit(url);
            return true;
        };
    }

    void visit(const QUrl& url) { test::followPage(network, url, BrowserSheetAuthenticator::deliverCallback); }
};

QLabel* label(QWidget* root, const char* name)
{
    return root->findChild<QLabel*>(QString::fromLatin1(name));
}

QImage picture(QWidget* widget)
{
    widget->resize(440, widget->heightForWidth(440) > 0 ? widget->heightForWidth(440) : widget->sizeHint().height());
    widget->show();
    QCoreApplication::processEvents();
    widget->resize(440, widget->sizeHint().height());
    QCoreApplication::processEvents();
    return widget->grab().toImage();
}

// A sign-in exchange that waits until the test lets it end.
QCoro::Task<void> gatedExchange(std::shared_ptr<SharedResult<bool>> gate)
{
    auto waiting = gate->wait();
    co_await std::move(waiting);
}

} // namespace

class TestSignInView : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> server;
    std::unique_ptr<QNetworkAccessManager> network;
    InMemoryTokenStore tokens;
    MemorySettingsStore defaults;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<AccountStore> account;
    std::unique_ptr<FakeBrowser> browser;
    std::shared_ptr<MemoryKeychain> keychain;
    std::unique_ptr<OAuthLoopbackClient> google;

    std::unique_ptr<SignInView> makeSheet()
    {
        return std::make_unique<SignInView>(account.get(), WebSignInService{api.get(), browser->opener()});
    }

    static QUrl callback(const QString& query)
    {
        return QUrl(QStringLiteral("hushframe-direct://auth/callback?") + query);
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<LocalServer>();
        network = std::make_unique<QNetworkAccessManager>();
        tokens.clear();
        defaults = MemorySettingsStore();
        api = std::make_unique<APIClient>(server->baseUrl(), network.get(), &tokens);
        account = std::make_unique<AccountStore>(api.get(), &defaults);
        browser = std::make_unique<FakeBrowser>();
        // Google sign-in goes to the local server's identity provider.
        keychain = std::make_shared<MemoryKeychain>();
        auto at = [this](const char* path) { return server->baseUrl().resolved(QUrl(QString::fromLatin1(path))); };
        google = std::make_unique<OAuthLoopbackClient>(
            OAuthEndpoints{at("/oauth/authorize"), at("/oauth/token"), at("/oauth/revoke")}, keychain,
            QStringLiteral("test.google"), browser->opener(), network.get());
        GoogleSignInService::setSharedSignIn(google.get());
        GoogleSignInService::configure(QStringLiteral("desktop"), std::nullopt);
    }

    void cleanup()
    {
        GoogleSignInService::setSharedSignIn(nullptr);
        google.reset();
        account.reset();
        api.reset();
        browser.reset();
        network.reset();
        server.reset();
    }

    void theTextsFollowTheReason()
    {
        account->presentSignIn(SignInReason::required);
        auto sheet = makeSheet();
        QCOMPARE(label(sheet.get(), "signIn.title")->text(), QStringLiteral("Sign in to keep going"));
        QAccessibleInterface* title = QAccessible::queryAccessibleInterface(label(sheet.get(), "signIn.title"));
        QCOMPARE(title->role(), QAccessible::Heading);
        QCOMPARE(title->text(QAccessible::Name), QStringLiteral("Sign in to keep going"));
        QVERIFY(label(sheet.get(), "signIn.detail")->text().startsWith(
            QStringLiteral("Hushframe couldn't start a new account on this network today.")));
        QCOMPARE(sheet->findChild<QAbstractButton*>(QStringLiteral("signIn.notNow"))->text(), QStringLiteral("Not now"));
        QCOMPARE(sheet->findChild<QAbstractButton*>(QStringLiteral("signIn.terms"))->text(), QStringLiteral("Terms of use"));
        QCOMPARE(sheet->findChild<QAbstractButton*>(QStringLiteral("signIn.privacy"))->text(),
                 QStringLiteral("Privacy policy"));
        QVERIFY(sheet->findChild<ui::ProviderSignInButton*>(QStringLiteral("signIn.apple")));
        QVERIFY(sheet->findChild<ui::ProviderSignInButton*>(QStringLiteral("signIn.google"))->isVisibleTo(sheet.get()));
        QVERIFY(!label(sheet.get(), "signIn.error")->isVisibleTo(sheet.get()));
        QVERIFY(!sheet->findChild<QWidget*>(QStringLiteral("signIn.progress"))->isVisibleTo(sheet.get()));
        saveScreenshot(picture(sheet.get()), "signin", "required");

        // The reason changes while the sheet is shown: the texts follow.
        account->presentSignIn(SignInReason::sync);
        QCOMPARE(label(sheet.get(), "signIn.title")->text(), QStringLiteral("Sign in to sync across devices"));
        QVERIFY(label(sheet.get(), "signIn.detail")->text().startsWith(QStringLiteral("Keep your history")));
        QCOMPARE(sheet->minimumWidth(), 420);
        saveScreenshot(picture(sheet.get()), "signin", "sync");

        // At the largest text size the legal links wrap onto a line each; the sheet stays 420 wide.
        ui::Environment::instance().setTextSize(ui::TextSize::accessibility5);
        QCoreApplication::processEvents();
        const QImage large = picture(sheet.get());
        saveScreenshot(large, "signin", "sync-largest-text");
        auto* terms = sheet->findChild<QWidget*>(QStringLiteral("signIn.terms"));
        auto* privacy = sheet->findChild<QWidget*>(QStringLiteral("signIn.privacy"));
        QVERIFY(privacy->y() > terms->y());
        ui::Environment::instance().clearOverrides();

        // The legal links open their pages in the browser.
        browser->mode = FakeBrowser::Mode::hold;
        QTest::mouseClick(sheet->findChild<QAbstractButton*>(QStringLiteral("signIn.privacy")), Qt::LeftButton);
        QCOMPARE(browser->opened.size(), 1);
        QVERIFY(browser->opened.first().path().contains(QStringLiteral("privacy")));
    }

    // A build without a Google client shows the Apple button alone, and no text asks for Google.
    void theTextsNameTheProvidersShown()
    {
        const auto googleNamed = [](const QString& text) { return text.contains(QStringLiteral("Google")); };
        account->presentSignIn(SignInReason::required);
        auto both = makeSheet();
        QVERIFY(googleNamed(label(both.get(), "signIn.detail")->text()));
        QVERIFY(googleNamed(APIError::accountLimitReached().localizedDescription()));

        google->setConfiguration(std::nullopt);
        auto sheet = makeSheet();
        QVERIFY(!sheet->buttons()->googleButton()->isVisibleTo(sheet.get()));
        QVERIFY(sheet->buttons()->appleButton()->isVisibleTo(sheet.get()));
        QCOMPARE(label(sheet.get(), "signIn.detail")->text(),
                 QStringLiteral("Hushframe couldn't start a new account on this network today. Sign in with Apple to "
                                "preview and clean videos."));
        saveScreenshot(picture(sheet.get()), "signin", "required-apple-only");
        // The messages that send the user to the sheet say the same.
        QCOMPARE(APIError::accountLimitReached().localizedDescription(),
                 QStringLiteral("Hushframe couldn't start a new account on this network right now. Sign in with Apple "
                                "to keep going."));
        QCOMPARE(APIError::server(APIErrorCode::signInRequired, std::nullopt, 401).localizedDescription(),
                 QStringLiteral("Sign in with Apple to continue."));
        for (QLabel* shown : sheet->findChildren<QLabel*>())
            QVERIFY2(!shown->isVisibleTo(sheet.get()) || !googleNamed(shown->text()), qPrintable(shown->text()));
    }

    void notNowAndEscapeBothAskToClose()
    {
        auto sheet = makeSheet();
        picture(sheet.get());
        QSignalSpy closing(sheet.get(), &SignInView::dismissRequested);
        QTest::mouseClick(sheet->findChild<QAbstractButton*>(QStringLiteral("signIn.notNow")), Qt::LeftButton);
        QCOMPARE(closing.size(), 1);
        // Escape from wherever the focus is in the sheet.
        sheet->buttons()->appleButton()->setFocus();
        QTest::keyClick(sheet->buttons()->appleButton(), Qt::Key_Escape);
        QCOMPARE(closing.size(), 2);
    }

    void busyAndErrorLines()
    {
        auto sheet = makeSheet();
        SignInButtons* buttons = sheet->buttons();
        auto* busy = sheet->findChild<QWidget*>(QStringLiteral("signIn.progress"));
        QLabel* error = label(sheet.get(), "signIn.error");
        browser->mode = FakeBrowser::Mode::hold;

        // A sign-in exchange under way: the busy line, and the provider buttons inert.
        auto gate = std::make_shared<SharedResult<bool>>();
        const std::function<QCoro::Task<void>()> exchange = [gate] { return gatedExchange(gate); };
        spawn(account->signIn(AuthProvider::apple, exchange), lcTest(), QStringLiteral("exchange"));
        QVERIFY(QTest::qWaitFor([&] { return account->isAuthenticating(); }));
        QVERIFY(busy->isVisibleTo(sheet.get()));
        QVERIFY(!buttons->appleButton()->isEnabled() && !buttons->googleButton()->isEnabled());
        QTest::mouseClick(buttons->appleButton(), Qt::LeftButton);
        QTest::mouseClick(buttons->googleButton(), Qt::LeftButton);
        QCoreApplication::processEvents();
        QVERIFY(browser->opened.isEmpty());
        QVERIFY(sheet->findChild<QAbstractButton*>(QStringLiteral("signIn.notNow"))->isEnabled());
        saveScreenshot(picture(sheet.get()), "signin", "busy");

        // The exchange fails: the error line shows the account state's message.
        gate->fail(std::make_exception_ptr(WebSignInError::failed(QStringLiteral("expired"))));
        QVERIFY(QTest::qWaitFor([&] { return !account->isAuthenticating(); }));
        QVERIFY(!busy->isVisibleTo(sheet.get()));
        QVERIFY(buttons->appleButton()->isEnabled());
        QVERIFY(error->isVisibleTo(sheet.get()));
        QCOMPARE(error->text(), QStringLiteral("The sign-in took too long. Please try again."));
        saveScreenshot(picture(sheet.get()), "signin", "error");
    }

    void aWebSignInFromTheSheet()
    {
        account->presentSignIn(SignInReason::required);
        auto sheet = makeSheet();
        account->setErrorMessage(QStringLiteral("An earlier failure"));
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        // The attempt clears the earlier line as it starts.
        QVERIFY(!account->errorMessage());
        QVERIFY(QTest::qWaitFor([&] { return account->isSignedIn(); }, 20000));
        QCOMPARE(browser->opened.size(), 1);
        QVERIFY(browser->opened.first().path().startsWith(QStringLiteral("/auth/handoff/")));
        QVERIFY(account->hasSession());
        QVERIFY(tokens.token().has_value());
        // The account state closes the sheet itself, once it has the account's record.
        QVERIFY(QTest::qWaitFor([&] { return !account->isSignInPresented(); }));
        QVERIFY(!account->errorMessage());
        QVERIFY(!sheet->buttons()->isWaitingForBrowser());
    }

    void aGoogleSignInThroughTheLocalIdentityProvider()
    {
        account->presentSignIn(SignInReason::sync);
        auto sheet = makeSheet();
        QTest::mouseClick(sheet->buttons()->googleButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return account->isSignedIn(); }, 20000));
        QVERIFY(browser->opened.first().path().endsWith(QStringLiteral("/oauth/authorize")));
        QVERIFY(QTest::qWaitFor([&] { return !account->isSignInPresented(); }));
        QVERIFY(QTest::qWaitFor([&] { return account->user().has_value(); }));
        QCOMPARE(account->user()->email, QStringLiteral("tester@example.com"));
    }

    void callbacksThatEndQuietlyOrWithAText()
    {
        auto sheet = makeSheet();
        SignInButtons* buttons = sheet->buttons();
        browser->mode = FakeBrowser::Mode::hold;
        struct Case {
            QString query;
            std::optional<QString> message;
        };
        const QList<Case> cases{
            {QStringLiteral("error=access_denied"), std::nullopt},
            {QStringLiteral("error=user_cancelled_authorize"), std::nullopt},
            {QStringLiteral("error=expired"), QStringLiteral("The sign-in took too long. Please try again.")},
            {QStringLiteral("error=already_used"), QStringLiteral("The sign-in didn't finish. Please try again.")},
            {QStringLiteral("state=1"),
             QStringLiteral("The sign-in came back in a way Hushframe didn't expect. Please try again.")},
        };
        for (const Case& c : cases) {
            account->setErrorMessage(QStringLiteral("An earlier failure"));
            QTest::mouseClick(buttons->appleButton(), Qt::LeftButton);
            QVERIFY(QTest::qWaitFor([&] { return buttons->isWaitingForBrowser() && browser->opened.size() > 0; }));
            QVERIFY(QTest::qWaitFor([&] { return BrowserSheetAuthenticator::deliverCallback(callback(c.query)); }));
            QVERIFY(QTest::qWaitFor([&] { return !buttons->isWaitingForBrowser(); }));
            QCoreApplication::processEvents();
            QCOMPARE(account->errorMessage(), c.message);
            QCOMPARE(label(sheet.get(), "signIn.error")->isVisibleTo(sheet.get()), c.message.has_value());
            QVERIFY(!account->isSignedIn());
        }
    }

    void closingTheSheetEndsTheBrowserWait()
    {
        browser->mode = FakeBrowser::Mode::hold;
        auto sheet = makeSheet();
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return browser->opened.size() == 1; }));
        QVERIFY(sheet->buttons()->isWaitingForBrowser());
        sheet.reset();
        QCoreApplication::processEvents();
        // Nothing waits any more: a link that comes back now is dropped, and nothing is shown.
        QVERIFY(!BrowserSheetAuthenticator::deliverCallback(callback(QStringLiteral("code=late"))));
        QTest::qWait(50);
        QVERIFY(!account->errorMessage());
        QVERIFY(!account->isAuthenticating());

        // A shown sheet that is closed without being destroyed ends its wait as well.
        sheet = makeSheet();
        picture(sheet.get());
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return browser->opened.size() == 2; }));
        QVERIFY(sheet->buttons()->isWaitingForBrowser());
        sheet->hide();
        QVERIFY(!sheet->buttons()->isWaitingForBrowser());
        QVERIFY(QTest::qWaitFor([&] { return !BrowserSheetAuthenticator::deliverCallback(callback(QStringLiteral("code=late"))); }));

        // A sheet closed while the hand-off request is still out never opens the browser.
        server->addFault(QJsonObject{{"path", "/v1/auth/handoff"}, {"delayMs", 300}, {"times", 1}});
        sheet = makeSheet();
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        sheet.reset();
        QTest::qWait(600);
        QCOMPARE(browser->opened.size(), 2);
        QVERIFY(!account->errorMessage());
    }

    void oneWebSignInWaitsAtATime()
    {
        browser->mode = FakeBrowser::Mode::hold;
        auto sheet = makeSheet();
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return browser->opened.size() == 1; }));
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return browser->opened.size() == 2; }));
        // The first wait ended, silently, when the second began; the second page signs in.
        QVERIFY(!account->errorMessage());
        browser->visit(browser->opened.last());
        QVERIFY(QTest::qWaitFor([&] { return account->isSignedIn(); }, 20000));
        QVERIFY(!account->errorMessage());
    }

    void aFailedHandOffShowsTheBackendsText()
    {
        server->addFault(QJsonObject{{"path", "/v1/auth/handoff"}, {"drop", true}});
        auto sheet = makeSheet();
        QTest::mouseClick(sheet->buttons()->appleButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return account->errorMessage().has_value(); }));
        QVERIFY(browser->opened.isEmpty());
        QLabel* error = label(sheet.get(), "signIn.error");
        QVERIFY(error->isVisibleTo(sheet.get()));
        QCOMPARE(error->text(), *account->errorMessage());
        QVERIFY(!account->isSignedIn());
    }
};

QTEST_MAIN(TestSignInView)
#include "test_sign_in_view.moc"
