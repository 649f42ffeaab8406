// The help browser on the shipped corpus: sections, search, going into a topic and back, the
// footer with and without feedback, the unavailable state and a corpus that fails to reload;
// the Help menu's items; the feedback window with and without a kit token.

#include "app/app_updater.h"
#include "app/feedback_window.h"
#include "app/help_commands.h"
#include "app/help_topic_view.h"
#include "app/help_view.h"
#include "app/window_registry.h"
#include "app/wrapping_label.h"
#include "platform/settings_store.h"
#include "support/test_support.h"
#include "ui_kit/card_overlay.h"
#include "ui_kit/environment.h"
#include "ui_kit/sections.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkAccessManager>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using hf::test::saveScreenshot;

namespace {

TelluConfig feedbackConfig()
{
    return TelluConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")), QStringLiteral("Hushframe"), true,
                       std::nullopt, QStringLiteral("token")};
}

// The sections the list shows, each as "Title: id, id".
QStringList listed(HelpView& view)
{
    QStringList out;
    QWidget* content = view.list()->widget();
    for (auto* section : content->findChildren<ui::FrameSection*>(QString(), Qt::FindDirectChildrenOnly)) {
        QStringList rows;
        for (int i = 0; i < section->rowCount(); ++i) {
            const QString name = section->row(i)->objectName();
            rows << (name.startsWith(QLatin1String("help.row.")) ? name.mid(9) : name);
        }
        out << section->title() + QStringLiteral(": ") + rows.join(QStringLiteral(", "));
    }
    return out;
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

} // namespace

class TestHelpView : public QObject {
    Q_OBJECT

private slots:
    // Every window looks as in the application: dark, with the kit's palette and font.
    void initTestCase()
    {
        ui::Environment::instance().setAppearance(ui::Appearance::dark);
        ui::Environment::applyToApplication(*qApp);
    }

    void listsSearchesAndNavigates()
    {
        QList<QUrl> opened;
        HelpEnvironment environment;
        environment.opener = [&](const QUrl& url) {
            opened << url;
            return true;
        };
        HelpView view(std::nullopt, environment);
        QCOMPARE(view.content(), HelpView::Content::progress);
        view.resize(640, 640);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.content(), HelpView::Content::list);
        QCOMPARE(view.navigationTitle(), QStringLiteral("Help"));

        const auto corpus = *view.corpus();
        const QStringList shown = listed(view);
        QCOMPARE(shown.size(), helpSections(corpus.search(QString())).size() + 1);
        QVERIFY2(shown.first().startsWith(QLatin1String("Basics: overview, gettingStarted")), qPrintable(shown.first()));
        QVERIFY2(shown.last() == QLatin1String(": help.emailSupport"), qPrintable(shown.last()));
        saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("browser"));

        // Typing searches at once; the best match leads.
        QTest::keyClicks(view.searchField(), QStringLiteral("EXPORT"));
        QCOMPARE(view.query(), QStringLiteral("EXPORT"));
        QStringList expected;
        for (const HelpSection& section : helpSections(corpus.search(QStringLiteral("EXPORT")))) {
            QStringList ids;
            for (const HelpTopic& topic : section.topics)
                ids << topic.id;
            expected << HelpCorpus::categoryTitle(section.category) + QStringLiteral(": ") + ids.join(QStringLiteral(", "));
        }
        expected << QStringLiteral(": help.emailSupport");
        QCOMPARE(listed(view), expected);
        QVERIFY(expected.first().contains(QLatin1String("exporting")));
        saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("search"));

        // Into a topic and back: the query survives.
        auto* row = view.list()->widget()->findChild<QAbstractButton*>(QStringLiteral("help.row.exporting"));
        QVERIFY(row);
        QCOMPARE(row->accessibleDescription(), QStringLiteral("Opens this help topic"));
        QTest::mouseClick(row, Qt::LeftButton);
        QVERIFY(view.topicPage());
        QCOMPARE(view.navigationTitle(), view.topicPage()->topic().title);
        QVERIFY(!view.searchField()->isVisible());
        saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("topic-in-browser"));
        view.goBack();
        QVERIFY(!view.topicPage());
        QCOMPARE(view.searchField()->text(), QStringLiteral("EXPORT"));
        QCOMPARE(listed(view), expected);

        // Nothing found: the footer stands alone.
        view.setQuery(QStringLiteral("zzqx"));
        QCOMPARE(listed(view), QStringList{QStringLiteral(": help.emailSupport")});
        saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("no-match"));

        // The e-mail button writes to support.
        auto* email = view.findChild<WrappingLabel*>(QStringLiteral("help.emailSupport"));
        QVERIFY(email);
        QVERIFY(email->title().endsWith(QLatin1String(kSupportEmail)));
        QTest::mouseClick(email, Qt::LeftButton, {}, QPoint(10, email->height() / 2));
        QCOMPARE(opened, QList<QUrl>{QUrl(QStringLiteral("mailto:support@lanternworkshop.dev"))});
        // Feedback is not offered without a token.
        QVERIFY(!view.findChild<QWidget*>(QStringLiteral("help.sendFeedback")));
        view.setShowingFeedback(true);
        QVERIFY(!view.isShowingFeedback());
    }

    void offersTheFeedbackFormWithAToken()
    {
        HelpEnvironment environment;
        environment.feedback = feedbackConfig();
        HelpView view(std::nullopt, environment);
        closeWithKeys(&view);
        view.resize(640, 640);
        view.show();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QCOMPARE(listed(view).last(), QStringLiteral(": help.sendFeedback, help.emailSupport"));
        auto* send = view.findChild<WrappingLabel*>(QStringLiteral("help.sendFeedback"));
        QTest::mouseClick(send, Qt::LeftButton, {}, QPoint(10, send->height() / 2));
        QVERIFY(view.isShowingFeedback());
        QVERIFY(view.feedbackForm());
        QVERIFY(view.feedbackForm()->isVisible());
        // A screen reader meets the sheet named by the form's title, not by the thanks it shows once sent.
        QCOMPARE(QAccessible::queryAccessibleInterface(ui::CardOverlay::topmost(&view))->text(QAccessible::Name), "Send Feedback");
        QTest::qWait(50);
        saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("feedback-sheet"));
        // Escape closes the sheet; the query and the page stay.
        view.setQuery(QStringLiteral("song"));
        QTest::keyClick(view.feedbackForm()->parentWidget()->parentWidget(), Qt::Key_Escape);
        QVERIFY(!view.isShowingFeedback());
        QCOMPARE(view.query(), QStringLiteral("song"));
        // The sheet took that Escape; the next one closes the window.
        QVERIFY(view.isVisible());
        QTest::keyClick(view.focusWidget() ? view.focusWidget() : &view, Qt::Key_Escape);
        QVERIFY(!view.isVisible());
    }

    // At the window's least size the whole form shows, Send included, without scrolling; at the
    // largest text size the form scrolls, and Send can be scrolled into view.
    void feedbackSheetFitsTheLeastWindow()
    {
        for (const ui::TextSize size : {ui::TextSize::large, ui::TextSize::accessibility5}) {
            ui::Environment::instance().setTextSize(size);
            HelpEnvironment environment;
            environment.feedback = feedbackConfig();
            HelpView view(std::nullopt, environment);
            view.setMinimumSize(520, 480);
            view.resize(520, 480);
            view.show();
            QVERIFY(QTest::qWaitForWindowExposed(&view));
            view.setShowingFeedback(true);
            QVERIFY(view.isShowingFeedback());
            QCoreApplication::processEvents();
            auto* send = view.feedbackForm()->findChild<QWidget*>(QStringLiteral("tellu.feedback.send"));
            QVERIFY(send && send->isVisible());
            auto* scroll = qobject_cast<QScrollArea*>(view.feedbackForm()->parentWidget()->parentWidget()->parentWidget());
            QVERIFY(scroll);
            const auto shownInView = [&] {
                const QRect inViewport(send->mapTo(scroll->viewport(), QPoint(0, 0)), send->size());
                return scroll->viewport()->rect().contains(inViewport)
                       && view.rect().contains(QRect(send->mapTo(&view, QPoint(0, 0)), send->size()));
            };
            if (size == ui::TextSize::large) {
                QVERIFY2(shownInView(), "Send is cut off at the least window size");
                saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("feedback-sheet-least"));
            } else {
                scroll->ensureWidgetVisible(send, 0, 0);
                QVERIFY2(shownInView(), "Send cannot be scrolled into view");
            }
        }
        ui::Environment::instance().setTextSize(ui::TextSize::large);
    }

    void showsUnavailableUntilACorpusLoads()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("help.json"));
        HelpEnvironment environment;
        environment.corpusPath = path;
        HelpView view(std::nullopt, environment);
        view.resize(640, 640);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.content(), HelpView::Content::unavailable);
        auto* detail = view.findChild<QLabel*>(QStringLiteral("unavailable.detail"));
        QVERIFY(detail && detail->isVisible());
        QVERIFY(detail->text().startsWith(QLatin1String("The help content did not load.")));
        QVERIFY(detail->text().contains(QLatin1String(kSupportEmail)));
        QVERIFY(!view.searchField()->isVisible());
        saveScreenshot(view.grab().toImage(), QStringLiteral("help"), QStringLiteral("unavailable"));

        writeFile(path, R"({"app":"t","topics":[{"id":"a","title":"Alpha","category":"basics","keywords":[],"body":"x"}]})");
        view.loadCorpus();
        QCOMPARE(view.content(), HelpView::Content::list);
        QCOMPARE(listed(view).first(), QStringLiteral("Basics: a"));

        // A reload that fails keeps the corpus already shown.
        writeFile(path, R"({"app":"t","topics":[{"id":"a","title":"Alpha","category":"basics","body":"x"}]})");
        view.loadCorpus();
        QVERIFY(view.loadFailed());
        QCOMPARE(view.content(), HelpView::Content::list);
        QCOMPARE(listed(view).first(), QStringLiteral("Basics: a"));
    }

    void opensAnInitialTopicAlone()
    {
        HelpView view(QStringLiteral("privacy"));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.content(), HelpView::Content::initialTopic);
        QCOMPARE(view.navigationTitle(), QStringLiteral("Privacy"));
        QVERIFY(!view.list()->isVisible());

        HelpView unknown(QStringLiteral("Privacy"));   // identifiers match exactly
        unknown.show();
        QVERIFY(QTest::qWaitForWindowExposed(&unknown));
        QCOMPARE(unknown.content(), HelpView::Content::list);
    }

    void shipsHelpTrueOfThisBuild()
    {
        const auto corpus = HelpCorpus::load();
        QVERIFY(corpus);
        QStringList ids;
        QString everything;
        for (const HelpTopic& topic : corpus->topics) {
            ids << topic.id;
            everything += topic.title + u'\n' + topic.keywords.join(u' ') + u'\n' + topic.body + u'\n';
        }
        for (const char* id : {"overview", "gettingStarted", "privacy", "troubleshooting", "contact"})
            QVERIFY2(ids.contains(QLatin1String(id)), id);
        QVERIFY(everything.contains(QLatin1String(kSupportEmail)));
        // No other address, and no shortcut or place of another desktop.
        QCOMPARE(everything.count(u'@'), everything.count(QLatin1String(kSupportEmail)));
        for (const char* foreign : {"\u2318", "Cmd", "Command-", "Option-", "Finder", "Keychain Access", "macOS", "Mac "})
            QVERIFY2(!everything.contains(QString::fromUtf8(foreign)), foreign);
    }

    void installsTheHelpMenu()
    {
        QNetworkAccessManager network;
        QTemporaryDir dir;
        QSettingsStore defaults(dir.filePath(QStringLiteral("s.ini")));
        AppUpdater updater(&network, QUrl(QStringLiteral("http://127.0.0.1:1/appcast.xml")), QStringLiteral("1.0"),
                           &defaults, nullptr);
        QStringList calls;

        QMenuBar bar;
        QMenu* menu = installHelpMenu(&bar, HelpMenuActions{[&] { calls << "help"; }, {}}, &updater);
        QCOMPARE(helpMenu(&bar), menu);
        QStringList titles;
        for (QAction* action : menu->actions())
            titles << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(titles, (QStringList{"Browse Help Topics", "-", "Check for Updates..."}));
        QAction* check = menu->actions().last();
        QVERIFY(!check->isEnabled());
        updater.start();
        QVERIFY(check->isEnabled());
        menu->actions().first()->trigger();
        QCOMPARE(calls, QStringList{"help"});

        QMenuBar withFeedback;
        QMenu* full = helpMenu(&withFeedback);
        installHelpCommands(full, HelpMenuActions{[&] { calls << "help"; }, [&] { calls << "feedback"; }});
        QCOMPARE(full->actions().size(), 2);
        QCOMPARE(full->actions()[1]->text(), QStringLiteral("Send Feedback..."));
        full->actions()[1]->trigger();
        QCOMPARE(calls.last(), QStringLiteral("feedback"));
    }

    void feedbackWindowShowsTheFormOrANotice()
    {
        int closed = 0;
        FeedbackWindowContent notice(std::nullopt, [&] { ++closed; });
        notice.show();
        QVERIFY(QTest::qWaitForWindowExposed(&notice));
        QVERIFY(!notice.form());
        QVERIFY(notice.width() >= 420 && notice.height() >= 460);
        auto* detail = notice.findChild<QLabel*>(QStringLiteral("unavailable.detail"));
        QVERIFY(detail && detail->text().contains(QLatin1String(kSupportEmail)));
        saveScreenshot(notice.grab().toImage(), QStringLiteral("feedback"), QStringLiteral("unavailable"));

        FeedbackWindowContent window(feedbackConfig(), [&] { ++closed; });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.form());
        QVERIFY(window.width() >= 420 && window.height() >= 460);
        saveScreenshot(window.grab().toImage(), QStringLiteral("feedback"), QStringLiteral("form"));
        QCOMPARE(closed, 0);
    }
};

QTEST_MAIN(TestHelpView)
#include "test_help_view.moc"
