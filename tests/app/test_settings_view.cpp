// The settings window: its choices stored at once and shown again after a restart, the account
// section for no session, an anonymous account (with and without an ended sign-in) and a signed-in
// user, signing out and deleting the account against the local server (a refused deletion
// included), the update button following the updater, and the window as the application opens it.

#include "app/app_updater.h"
#include "app/hushframe_app.h"
#include "app/settings_view.h"
#include "backend/account_store.h"
#include "backend/api_client.h"
#include "coordinator/engine_coordinator.h"
#include "editor/ambience_control.h"
#include "editor/option_row.h"
#include "helpers_app.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/async.h"
#include "platform/settings_store.h"
#include "support/local_server.h"
#include "support/test_support.h"
#include "ui_kit/buttons.h"
#include "ui_kit/environment.h"

#include <QApplication>
#include <QJsonObject>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace hf;
using hf::test::LocalServer;
using hf::test::runTask;
using hf::test::saveScreenshot;

Q_LOGGING_CATEGORY(lcTest, "test.settings")

namespace {

QCoro::Task<void> googleSocialSignIn(APIClient* api, QString idToken)
{
    SocialSignInRequest request;
    request.provider = AuthProvider::google;
    request.idToken.token = idToken;
    co_await api->signInSocial(request);
}

SettingsEnvironment environmentOf(AppServices& services, AppUpdater* updater = nullptr)
{
    SettingsEnvironment environment;
    environment.account = &services.account();
    environment.coordinator = &services.coordinator();
    environment.updater = updater;
    environment.signIn = WebSignInService{&services.api(), [](const QUrl&) { return true; }};
    environment.opener = [](const QUrl&) { return true; };
    return environment;
}

template<class W = QWidget>
W* find(QWidget* root, const char* name)
{
    return root->findChild<W*>(QString::fromLatin1(name));
}

bool shown(QWidget* root, const char* name)
{
    QWidget* widget = find(root, name);
    return widget && widget->isVisibleTo(root);
}

// The whole form, not only the part the window shows.
void snapshot(SettingsView& view, const QString& state)
{
    QCoreApplication::processEvents();
    QWidget* form = view.widget();
    form->resize(480, form->heightForWidth(480) > 0 ? form->heightForWidth(480) : form->sizeHint().height());
    QCoreApplication::processEvents();
    saveScreenshot(form->grab().toImage(), QStringLiteral("settings"), state);
}

} // namespace

class TestSettingsView : public QObject {
    Q_OBJECT

    std::unique_ptr<LocalServer> m_server;

    // The services on the local server, launched, with a Google account of `email` signed in.
    std::unique_ptr<AppServices> signedInServices(const QTemporaryDir& home, const QString& email)
    {
        auto services = test::makeServices(home, m_server->baseUrl());
        runTask(services->launch());
        const QString idToken = m_server->identityToken(email);
        APIClient* client = &services->api();
        runTask(services->account().signIn(AuthProvider::google,
                                           [client, idToken] { return googleSocialSignIn(client, idToken); }));
        return services;
    }

private slots:
    void initTestCase()
    {
        ui::Environment::instance().setAppearance(ui::Appearance::dark);
        ui::Environment::applyToApplication(*qApp);
        m_server = std::make_unique<LocalServer>();
    }

    void namesTheSignedInUser()
    {
        QCOMPARE(signedInAsText(APIUser{"u1", QStringLiteral("a@b.dev"), QStringLiteral("Ada"), false}), QStringLiteral("Ada"));
        QCOMPARE(signedInAsText(APIUser{"u1", QStringLiteral("a@b.dev"), QString(), false}), QStringLiteral("a@b.dev"));
        QCOMPARE(signedInAsText(APIUser{"u1", std::nullopt, QString(), false}), QStringLiteral("u1"));
        // An empty e-mail is no e-mail.
        QCOMPARE(signedInAsText(APIUser{"u1", QString(), std::nullopt, false}), QStringLiteral("u1"));
    }

    void storesChoicesThatSurviveARestart()
    {
        QTemporaryDir home;
        {
            auto services = test::makeServices(home);
            SettingsView view(environmentOf(*services));
            view.resize(480, 760);
            view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&view));
            auto* source = find<OptionRow>(&view, "settings.format.source");
            auto* lossless = find<OptionRow>(&view, "settings.format.lossless");
            auto* songCheck = find<OptionRow>(&view, "settings.copyrightCheck");
            QVERIFY(source->isChecked() && !lossless->isChecked() && songCheck->isChecked());
            QCOMPARE(find<AmbienceControl>(&view, "settings.ambience")->value(), 0.75);

            find<AmbienceControl>(&view, "settings.ambience")->propose(0.3);
            QTest::mouseClick(lossless, Qt::LeftButton);
            QVERIFY(!source->isChecked() && lossless->isChecked());
            // Choosing the option already on keeps it on.
            QTest::mouseClick(lossless, Qt::LeftButton);
            QVERIFY(lossless->isChecked());
            QTest::mouseClick(songCheck, Qt::LeftButton);
            QVERIFY(!songCheck->isChecked());
            const SeparationSettings now = services->coordinator().settings();
            QCOMPARE(now.ambience, 0.3);
            QCOMPARE(now.audioQuality, AudioQuality::losslessPCM);
            QVERIFY(!now.checkSongsAutomatically);
        }
        auto services = test::makeServices(home);
        QCOMPARE(services->coordinator().settings(),
                 (SeparationSettings{0.3, AudioQuality::losslessPCM, false}));
        SettingsView view(environmentOf(*services));
        QCOMPARE(find<AmbienceControl>(&view, "settings.ambience")->value(), 0.3);
        QVERIFY(find<OptionRow>(&view, "settings.format.lossless")->isChecked());
        QVERIFY(!find<OptionRow>(&view, "settings.format.source")->isChecked());
        QVERIFY(!find<OptionRow>(&view, "settings.copyrightCheck")->isChecked());
        // A change made elsewhere shows at once.
        services->coordinator().setAmbience(0.5);
        QCOMPARE(find<AmbienceControl>(&view, "settings.ambience")->value(), 0.5);

        // Back to "Same as source" after lossless: it is stored, and a restart shows it.
        view.resize(480, 760);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTest::mouseClick(find<OptionRow>(&view, "settings.format.source"), Qt::LeftButton);
        QVERIFY(find<OptionRow>(&view, "settings.format.source")->isChecked());
        QVERIFY(!find<OptionRow>(&view, "settings.format.lossless")->isChecked());
        QCOMPARE(services->coordinator().settings().audioQuality, AudioQuality::aac);
        QCOMPARE(SeparationSettings::load(services->defaults()).audioQuality, AudioQuality::aac);
    }

    void showsTheAccountAsItIs()
    {
        // No session at all (nothing answers): not signed in, no deletion.
        QTemporaryDir offline;
        {
            auto services = test::makeServices(offline);
            SettingsView view(environmentOf(*services));
            view.resize(480, 760);
            view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&view));
            QVERIFY(shown(&view, "settings.notSignedIn"));
            QVERIFY(shown(&view, "settings.syncPitch"));
            QVERIFY(!shown(&view, "settings.sessionEnded"));
            QVERIFY(!shown(&view, "settings.delete"));
            QVERIFY(!shown(&view, "settings.signOut"));
            snapshot(view, QStringLiteral("signed-out"));
        }

        // A provider sign-in that could not be restored: an anonymous account with the note.
        QTemporaryDir home;
        auto services = test::makeServices(home, m_server->baseUrl());
        services->defaults().setValue(AccountStore::lastAuthProviderKey, QStringLiteral("apple"));
        SettingsView view(environmentOf(*services));
        view.resize(480, 760);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        runTask(services->launch());
        QVERIFY(services->account().hasSession());
        QVERIFY(!services->account().isSignedIn());
        QVERIFY(shown(&view, "settings.notSignedIn"));
        QVERIFY(shown(&view, "settings.sessionEnded"));
        QVERIFY(shown(&view, "settings.delete"));
        QVERIFY(shown(&view, "signIn.buttons"));
        snapshot(view, QStringLiteral("anonymous-session-ended"));

        // Signed in: who, and "Sign out".
        const QString idToken = m_server->identityToken(QStringLiteral("reader@example.com"));
        QVERIFY(!idToken.isEmpty());
        APIClient* client = &services->api();
        runTask(services->account().signIn(AuthProvider::google,
                                           [client, idToken] { return googleSocialSignIn(client, idToken); }));
        QVERIFY(services->account().isSignedIn());
        QVERIFY(!shown(&view, "settings.notSignedIn"));
        QVERIFY(shown(&view, "settings.signOut"));
        QVERIFY(shown(&view, "settings.signedInAs"));
        QCOMPARE(find<QLabel>(&view, "settings.signedInAs.value")->text(), signedInAsText(*services->account().user()));
        snapshot(view, QStringLiteral("signed-in"));

        // Signing out starts a new anonymous account.
        const QString signedInID = services->account().user()->id;
        QTest::mouseClick(find(&view, "settings.signOut"), Qt::LeftButton);
        QVERIFY(test::waitUntil([&] { return !services->account().isSignedIn() && services->account().user()
                                             && services->account().user()->id != signedInID; }));
        QVERIFY(shown(&view, "settings.notSignedIn"));
        QVERIFY(!shown(&view, "settings.sessionEnded"));
        QVERIFY(shown(&view, "settings.delete"));
        snapshot(view, QStringLiteral("anonymous"));
    }

    void deletesTheAccountAfterConfirming()
    {
        QTemporaryDir home;
        auto services = signedInServices(home, QStringLiteral("leaver@example.com"));
        QVERIFY(services->account().isSignedIn());
        const QString signedInID = services->account().user()->id;

        SettingsView view(environmentOf(*services));
        view.resize(480, 760);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        auto* deleteButton = find<QAbstractButton>(&view, "settings.deleteAccount");
        // A video open in the main window.
        services->coordinator().setSource(
            SourceVideo{QUrl::fromLocalFile(home.filePath(QStringLiteral("clip.mp4"))), QStringLiteral("clip.mp4"), 12});

        // Cancelling the confirmation does nothing.
        QTest::mouseClick(deleteButton, Qt::LeftButton);
        QVERIFY(view.confirmation());
        QVERIFY(view.confirmation()->isVisible());
        QCOMPARE(view.confirmation()->windowModality(), Qt::WindowModal);
        QVERIFY(view.confirmation()->informativeText().startsWith(QLatin1String("This permanently deletes")));
        view.confirmation()->button(QMessageBox::Cancel)->click();
        QVERIFY(test::waitUntil([&] { return !view.confirmation(); }));
        QVERIFY(services->account().isSignedIn());

        // The server refuses: the message shows and the button works again.
        m_server->addFault(QJsonObject{{"method", "DELETE"}, {"path", "/v1/account"}, {"status", 500}, {"times", 1}});
        QSignalSpy finished(&view, &SettingsView::deletionFinished);
        QTest::mouseClick(deleteButton, Qt::LeftButton);
        find<QPushButton>(view.confirmation(), "settings.deleteConfirmation.delete")->click();
        QVERIFY(view.isDeleting());
        QVERIFY(!deleteButton->isEnabled());
        QTest::mouseClick(deleteButton, Qt::LeftButton);   // ignored while deleting
        QVERIFY(test::waitUntil([&] { return !view.confirmation(); }));
        QVERIFY(finished.wait(20000));
        QVERIFY(!view.isDeleting());
        QVERIFY(deleteButton->isEnabled());
        QVERIFY(view.message() && !view.message()->isEmpty());
        QVERIFY(shown(&view, "settings.message"));
        QCOMPARE(find<QLabel>(&view, "settings.message.text")->text(), *view.message());
        QVERIFY(services->account().isSignedIn());
        QCOMPARE(services->account().user()->id, signedInID);
        QVERIFY(services->coordinator().source());
        snapshot(view, QStringLiteral("deletion-failed"));

        // Deleted: a new anonymous account, the message gone.
        QTest::mouseClick(deleteButton, Qt::LeftButton);
        find<QPushButton>(view.confirmation(), "settings.deleteConfirmation.delete")->click();
        QVERIFY(finished.wait(20000));
        QVERIFY(!view.message());
        QVERIFY(!shown(&view, "settings.message"));
        QVERIFY(!services->account().isSignedIn());
        QVERIFY(services->account().hasSession());
        QVERIFY(services->account().user() && services->account().user()->id != signedInID);
        QVERIFY(!services->coordinator().source());
        QVERIFY(shown(&view, "settings.notSignedIn"));
    }

    // Closing the window while the server is still deleting: the deletion ends as if it had
    // stayed, and the deleted account's video closes.
    void deletionFinishesWithoutItsWindow()
    {
        QTemporaryDir home;
        auto services = signedInServices(home, QStringLiteral("closer@example.com"));
        const QString signedInID = services->account().user()->id;
        services->coordinator().setSource(
            SourceVideo{QUrl::fromLocalFile(home.filePath(QStringLiteral("clip.mp4"))), QStringLiteral("clip.mp4"), 12});

        m_server->addFault(QJsonObject{{"method", "DELETE"}, {"path", "/v1/account"}, {"delayMs", 600}, {"times", 1}});
        auto* view = new SettingsView(environmentOf(*services));
        view->setAttribute(Qt::WA_DeleteOnClose);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view));
        QTest::mouseClick(find<QAbstractButton>(view, "settings.deleteAccount"), Qt::LeftButton);
        find<QPushButton>(view->confirmation(), "settings.deleteConfirmation.delete")->click();
        QVERIFY(view->isDeleting());
        QTest::qWait(100);
        QPointer<SettingsView> gone(view);
        view->close();
        QVERIFY(test::waitUntil([&] { return gone.isNull(); }));

        QVERIFY(test::waitUntil([&] { return services->account().user() && services->account().user()->id != signedInID; }, 20000));
        QVERIFY(test::waitUntil([&] { return !services->coordinator().source(); }, 5000));
        QVERIFY(!services->account().isSignedIn());
    }

    // The window's account refresh is still waiting for the server when the program ends: the
    // services let it run to its end, so no suspended task (and no memory) outlives them.
    void accountRefreshEndsWithTheServices()
    {
        QTemporaryDir home;
        auto services = signedInServices(home, QStringLiteral("leaver@example.com"));
        QTRY_COMPARE(detachedTasksRunning(), 0);
        m_server->addFault(QJsonObject{{"method", "GET"}, {"path", "/v1/me"}, {"delayMs", 5000}, {"times", 1}});
        auto view = std::make_unique<SettingsView>(environmentOf(*services));
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        QVERIFY(detachedTasksRunning() > 0);
        view.reset();
        services.reset();
        QCOMPARE(detachedTasksRunning(), 0);
    }

    void followsTheUpdater()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        QNetworkAccessManager network;
        QSettingsStore defaults(home.filePath(QStringLiteral("u.ini")));
        AppUpdater updater(&network, m_server->baseUrl().resolved(QUrl(QStringLiteral("/appcast.xml"))),
                           QStringLiteral("0.1.0"), &defaults, nullptr);
        SettingsView view(environmentOf(*services, &updater));
        auto* check = find<QAbstractButton>(&view, "settings.checkForUpdates");
        QVERIFY(!check->isEnabled());
        updater.start();
        QVERIFY(check->isEnabled());
        QSignalSpy finished(&updater, &AppUpdater::checkFinished);
        check->click();
        QVERIFY(!check->isEnabled());   // one check at a time
        QVERIFY(finished.wait(20000));
        QVERIFY(check->isEnabled());
    }

    void opensAsTheApplicationsSettingsWindow()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        // The main window's menu bar leads to the settings and the help.
        QWidget* main = app.openWindow(QStringLiteral("main"));
        auto* bar = main->findChild<QMenuBar*>();
        QVERIFY(bar);
        QStringList menus;
        for (QAction* entry : bar->actions())
            menus << QString(entry->text()).remove(u'&');
        QCOMPARE(menus.last(), QStringLiteral("Help"));
        QMenu* help = bar->actions().last()->menu();
        QStringList items;
        for (QAction* action : help->actions())
            items << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(items, (QStringList{"Browse Help Topics", "-", "Check for Updates..."}));
        QVERIFY(!help->actions().last()->isEnabled());   // this build names no feed
        QAction* settings = nullptr;
        QString settingsMenu;
        for (QAction* entry : bar->actions())
            for (QAction* action : entry->menu() ? entry->menu()->actions() : QList<QAction*>{})
                if (action->objectName() == QLatin1String("menu.settings")) {
                    settings = action;
                    settingsMenu = entry->menu()->objectName();
                }
        QVERIFY(settings);
        QCOMPARE(settingsMenu, QStringLiteral("menu.file"));
        QCOMPARE(settings->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
        settings->trigger();
        QWidget* window = app.windows().window(QStringLiteral("settings"));
        QVERIFY(qobject_cast<SettingsView*>(window));
        QCOMPARE(window->size(), QSize(480, 760));
        QCOMPARE(window->minimumSize(), window->maximumSize());
        // Its help button opens the help window.
        QTest::mouseClick(find(window, "settings.help"), Qt::LeftButton, {}, QPoint(10, 10));
        QWidget* helpWindow = app.windows().window(QStringLiteral("help"));
        QVERIFY(helpWindow && helpWindow->isVisible());
        QCOMPARE(helpWindow->windowTitle(), QStringLiteral("Hushframe Help Topics"));
        QCOMPARE(helpWindow->minimumSize(), QSize(520, 480));
        QWidget* feedback = app.openWindow(QStringLiteral("feedback"));
        QVERIFY(feedback && feedback->width() >= 420 && feedback->height() >= 460);
        window->close();
        helpWindow->close();
        feedback->close();
        main->close();
    }
};

QTEST_MAIN(TestSettingsView)
#include "test_settings_view.moc"
