// The whole application against the local server: the services as main() builds them, the main
// window opened through the registry, a generated movie chosen with Open Video..., its preview
// cleaned by the server and loaded in the player, and a picture of the whole window.
// Registered twice: offscreen, and under Xvfb as a real X client.

#include "app/content_view.h"
#include "app/hushframe_app.h"
#include "backend/account_store.h"
#include "player/audio_player_service.h"
#include "coordinator/engine_coordinator.h"
#include "helpers_app.h"
#include "helpers_audition.h"
#include "pipeline/cloud_separation_engine.h"
#include "support/local_server.h"
#include "support/test_support.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QTest>

using namespace hf;
using namespace std::chrono_literals;

class TestAppEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void opensAVideoAndShowsItsPreview()
    {
        if (!test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        test::AppOnLocalServer run;
        QVERIFY(run.open(6));
        auto [services, picker, window, movie] = std::tie(run.services, run.picker, run.window, run.movie);

        QTest::mouseClick(window->findChild<QAbstractButton*>("chrome.openVideo"), Qt::LeftButton, {},
                          QPoint(20, 16));
        QVERIFY(picker.answer(QList<QUrl>{QUrl::fromLocalFile(movie)}));

        EngineCoordinator& coordinator = services->coordinator();
        AudioPlayerService& player = services->player();
        QVERIFY(QTest::qWaitFor([&] { return coordinator.source().has_value(); }, 20000));
        QCOMPARE(window->title(), QString("Holiday.mp4"));
        QVERIFY(QTest::qWaitFor(
            [&] { return (coordinator.hasPreviewResult() && !coordinator.isProcessing()) || coordinator.errorMessage(); },
            120000));
        QVERIFY2(!coordinator.errorMessage(), qPrintable(coordinator.errorMessage().value_or(QString())));
        QVERIFY(QTest::qWaitFor([&] { return !player.currentFrame().isNull(); }, 20000));

        // The preview plays.
        player.play();
        QVERIFY(QTest::qWaitFor([&] { return player.currentTime() > 0.3; }, 10000));
        player.pause();

        auto* clean = window->findChild<QWidget*>("result.cleanFull");
        QVERIFY(clean->isVisible() && clean->isEnabled());
        QVERIFY(window->findChild<QWidget*>("toolbar.listen")->isVisible());
        QVERIFY(window->isInspectorShown());
        // Made when the video opened, it still takes its column's width.
        auto* inspector = window->findChild<QWidget*>("inspector");
        QVERIFY(inspector && inspector->isVisible());
        QVERIFY2(inspector->width() >= 336 && inspector->width() <= 380, qPrintable(QString::number(inspector->width())));
        QTest::qWait(100);   // the last frame reaches the picture
        const QString shot = test::saveScreenshot(window->grab().toImage(), "app",
                                                  QStringLiteral("preview-%1").arg(QGuiApplication::platformName()));
        QVERIFY(QFileInfo::exists(shot));
    }
};

QTEST_MAIN(TestAppEndToEnd)
#include "test_app_end_to_end.moc"
