// The windows' appearances: the main window always dark, the settings, help and feedback windows
// light or dark as the desktop is, following a change while they are open; a picture of each.

#include "app/feedback_window.h"
#include "app/hushframe_app.h"
#include "editor/export_options.h"
#include "editor/inspector_view.h"
#include "helpers_app.h"
#include "support/test_support.h"
#include "ui_kit/environment.h"
#include "ui_kit/palette.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using hf::test::saveScreenshot;

namespace {

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) <= 6 && std::abs(a.green() - b.green()) <= 6 && std::abs(a.blue() - b.blue()) <= 6;
}

QString describe(const QColor& actual, const QColor& expected)
{
    return QStringLiteral("colour %1, expected %2").arg(actual.name(), expected.name());
}

} // namespace

class TestWindowAppearance : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { ui::Environment::applyToApplication(*qApp); }
    // The launch each main window starts must end with the services, not outlive them.
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("launch sequence was still running"))); }
    void cleanup() { ui::Environment::instance().clearOverrides(); }

    void onlyTheMainWindowStaysDark()
    {
        QTemporaryDir home;
        auto services = test::makeServices(home);
        HushframeApp app(*services);
        QWidget* main = app.openWindow(QStringLiteral("main"));
        QWidget* settings = app.openWindow(QStringLiteral("settings"));
        QWidget* help = app.openWindow(QStringLiteral("help"));
        QWidget* feedback = app.openWindow(QStringLiteral("feedback"));
        // The feedback form itself, as a build with a feedback token shows it.
        FeedbackWindowContent form(TelluConfig{QUrl(QStringLiteral("http://127.0.0.1:1/feedback")),
                                               QStringLiteral("Hushframe"), true, std::nullopt, std::nullopt},
                                   [] {});
        form.show();
        for (QWidget* window : {main, settings, help, feedback, static_cast<QWidget*>(&form)})
            QVERIFY(QTest::qWaitForWindowExposed(window));
        // The kit's views in the main window: the import screen and its headline.
        auto* emptyState = main->findChild<QWidget*>(QStringLiteral("emptyState"));
        auto* headline = main->findChild<QLabel*>(QStringLiteral("import.headline"));
        QVERIFY(emptyState && headline);

        for (const auto appearance : {ui::Appearance::light, ui::Appearance::dark, ui::Appearance::light}) {
            // The desktop's choice, changed while the windows are open.
            ui::Environment::instance().setAppearance(appearance);
            QCoreApplication::processEvents();
            const QString name = appearance == ui::Appearance::dark ? QStringLiteral("dark") : QStringLiteral("light");

            const auto dark = [](ui::ColorName name) { return ui::color(name, ui::Appearance::dark); };
            const QImage mainPicture = main->grab().toImage();
            saveScreenshot(mainPicture, QStringLiteral("windows"), QStringLiteral("main-desktop-") + name);
            const QPoint corner = emptyState->mapTo(main, QPoint(emptyState->width() - 6, emptyState->height() - 6));
            QVERIFY2(near(mainPicture.pixelColor(corner), dark(ui::ColorName::Paper)),
                     qPrintable(describe(mainPicture.pixelColor(corner), dark(ui::ColorName::Paper))));
            QVERIFY(near(headline->palette().color(QPalette::WindowText), dark(ui::ColorName::Ink)));
            QVERIFY(near(main->palette().color(QPalette::Window), dark(ui::ColorName::Surface)));

            const QColor surface = ui::color(ui::ColorName::Surface, appearance);
            const QColor paper = ui::color(ui::ColorName::Paper, appearance);
            const QColor ink = ui::color(ui::ColorName::Ink, appearance);
            const std::pair<QWidget*, const char*> followers[] = {
                {settings, "settings"}, {help, "help"}, {feedback, "feedback-unavailable"}, {&form, "feedback"}};
            for (const auto& [window, title] : followers) {
                const QImage picture = window->grab().toImage();
                saveScreenshot(picture, QStringLiteral("windows"), QString::fromLatin1(title) + u'-' + name);
                const QColor corner = picture.pixelColor(3, picture.height() - 3);
                // The ground is the kit's, paper or surface, in the desktop's appearance.
                QVERIFY2(near(corner, surface) || near(corner, paper),
                         qPrintable(QString::fromLatin1(title) + ": " + describe(corner, surface)));
                QVERIFY(near(window->palette().color(QPalette::WindowText), ink));
            }
            // Texts styled by the kit take the window's colours, dark on light and light on dark.
            for (QLabel* label : settings->findChildren<QLabel*>(QStringLiteral("settings.notSignedIn")))
                QVERIFY(near(label->palette().color(QPalette::WindowText), ink));
        }
        // On a light desktop, the export's folder list (made apart, as the inspector is) pops up
        // over the main window on its dark ground.
        auto* options = new ExportOptionsView(&services->coordinator(), &services->defaults());
        main->layout()->addWidget(options);
        auto* folders = options->findChild<QComboBox*>(QStringLiteral("export.folder"));
        folders->showPopup();
        QVERIFY(QTest::qWaitFor([&] { return folders->view()->isVisible(); }));
        const QRect entry = folders->view()->visualRect(folders->model()->index(folders->count() - 1, 0));
        saveScreenshot(folders->view()->window()->grab().toImage(), QStringLiteral("windows"),
                       QStringLiteral("main-folder-list-desktop-light"));
        const QImage list = folders->view()->window()->grab().toImage();
        const QPoint inside = folders->view()->viewport()->mapTo(folders->view()->window(), entry.center());
        const QColor ground = list.pixelColor(std::min(inside.x() + entry.width() / 2 - 3, list.width() - 3), inside.y());
        QVERIFY2(ground.isValid() && qGray(ground.rgb()) < 100, qPrintable(ground.name()));
        folders->hidePopup();
        for (QWidget* window : {main, settings, help, feedback})
            window->close();
    }
};

QTEST_MAIN(TestWindowAppearance)
#include "test_window_appearance.moc"
