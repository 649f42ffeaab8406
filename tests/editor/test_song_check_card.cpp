// The song check card: what it shows in each state, its chips and buttons, and its checking
// announcement.

#include "editor/copyright_check_card_view.h"
#include "helpers_coordinator.h"
#include "support/test_support.h"

#include <QAbstractButton>
#include <QLabel>
#include <QTest>

using namespace hf;

namespace {

ClaimCheck threeSongs()
{
    ClaimCheck check;
    check.status = ClaimCheckStatus::match;
    ClaimCheckSong gone{QStringLiteral("Harbour Lights"), QStringLiteral("The Quay"), {}, {},
                        {{0.1, 0.4}, {75, 92.4}}, ClaimCheckVerdict::gone};
    ClaimCheckSong zero{QStringLiteral("  Night Drive "), QStringLiteral(" "), {}, {}, {{3725, 3725.2}},
                        ClaimCheckVerdict::ambienceZero};
    ClaimCheckSong blank{QStringLiteral("   "), {}, {}, {}, {}, ClaimCheckVerdict::gone};
    ClaimCheckSong still{QStringLiteral("Chorus"), {}, {}, {}, {}, ClaimCheckVerdict::stillThere};
    check.songs = std::vector<ClaimCheckSong>{gone, zero, blank, still};
    return check;
}

QStringList labelTexts(const QWidget* widget)
{
    QStringList texts;
    for (const QLabel* label : widget->findChildren<QLabel*>())
        if (label->isVisibleTo(widget))
            texts << label->text();
    return texts;
}

template<class T = QAbstractButton>
T* named(const QWidget* widget, const QString& name)
{
    for (T* child : widget->findChildren<T*>(name))
        if (child->isVisibleTo(widget))
            return child;
    return nullptr;
}

} // namespace

class TestSongCheckCard : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void states()
    {
        test::CoordinatorRig rig;
        EngineCoordinator& coordinator = *rig.coordinator;
        QWidget host;
        auto* card = new CopyrightCheckCardView(&coordinator, rig.player.get(), &host);
        host.resize(300, 600);
        host.show();

        // Hidden without a full result: no space, no identifier.
        QVERIFY(!card->isVisible());
        QVERIFY(card->objectName().isEmpty());
        QVERIFY(rig.openAndPreview(rig.video(QStringLiteral("Shore.mp4"))));
        QVERIFY(!card->isVisible());

        coordinator.cleanFullVideo();
        QVERIFY(test::waitFor([&] { return coordinator.hasFullResult() && !coordinator.isPromoting(); }));
        QTRY_VERIFY(card->isVisible());
        QCOMPARE(card->objectName(), QStringLiteral("copyrightCheck"));
        QCOMPARE(card->card().kind, CopyrightCheckCard::Kind::available);
        QVERIFY(labelTexts(card).contains("Platforms use their own matching, so this isn't a guarantee."));

        // Asking shows "checking" at once and announces it once; the request fails here (nothing
        // listens), which brings the button back.
        QAbstractButton* check = named(card, QStringLiteral("copyrightCheck.check"));
        QVERIFY(check);
        check->click();
        QCOMPARE(card->card().kind, CopyrightCheckCard::Kind::checking);
        QCOMPARE(card->checkingAnnouncements(), 1);
        QVERIFY(labelTexts(card).contains(QStringLiteral("Checking for songs\u2026")));
        QVERIFY(!labelTexts(card).contains("Platforms use their own matching, so this isn't a guarantee."));
        QVERIFY(test::waitFor([&] { return card->card().kind == CopyrightCheckCard::Kind::available; }, 15000));
        coordinator.setRequestingSongCheck(true);
        QCOMPARE(card->checkingAnnouncements(), 2);
        coordinator.setRequestingSongCheck(false);

        // Expired: the two texts, no disclaimer.
        coordinator.setSongCheckRefusedResultID(coordinator.currentResult()->id);
        QCOMPARE(labelTexts(card), (QStringList{"Copyright check", "Expired",
                                                "Checks are available for 24 hours after cleaning."}));

        ClaimCheck failed;
        failed.status = ClaimCheckStatus::error;
        coordinator.modifyCurrentResult([&](SeparationResult& r) { r.claimCheck = failed; });
        QVERIFY(labelTexts(card).contains("The song check couldn't finish for this video."));
        // No check made (a server without songs to compare with): said as it is, no disclaimer.
        ClaimCheck notChecked;
        notChecked.status = ClaimCheckStatus::notChecked;
        coordinator.modifyCurrentResult([&](SeparationResult& r) { r.claimCheck = notChecked; });
        QCOMPARE(labelTexts(card), (QStringList{"Copyright check",
                                                "Songs can't be checked on this server, so this video wasn't checked."}));
        test::saveScreenshot(card->grab().toImage(), "editor", QStringLiteral("song-check-unavailable"));
        ClaimCheck clear;
        clear.status = ClaimCheckStatus::clear;
        clear.songs = std::vector<ClaimCheckSong>{};
        coordinator.modifyCurrentResult([&](SeparationResult& r) { r.claimCheck = clear; });
        QVERIFY(labelTexts(card).contains("No known songs found in the original."));
    }

    void songs()
    {
        test::CoordinatorRig rig;
        EngineCoordinator& coordinator = *rig.coordinator;
        QWidget host;
        auto* card = new CopyrightCheckCardView(&coordinator, rig.player.get(), &host);
        host.resize(300, 800);
        host.show();
        QVERIFY(rig.openFullResult(rig.video(QStringLiteral("Shore.mp4"))));
        coordinator.modifyCurrentResult([](SeparationResult& r) { r.claimCheck = threeSongs(); });
        QCOMPARE(card->card().kind, CopyrightCheckCard::Kind::songs);

        // Blank titles are left out; names are trimmed and shown as given; an hour reads h:mm:ss.
        const QStringList texts = labelTexts(card);
        QVERIFY(texts.contains("Harbour Lights") && texts.contains("The Quay") && texts.contains("Night Drive"));
        QVERIFY(!texts.contains(" "));
        QCOMPARE(card->findChildren<QWidget*>(QRegularExpression("^copyrightCheck\\.song\\.")).size(), 3);
        QVERIFY(texts.contains("Not detected after cleaning"));
        QVERIFY(texts.contains("Set Ambience to 0 to remove"));
        QVERIFY(texts.contains("Still detectable in the dialogue"));
        QStringList chips;
        QAbstractButton* first = nullptr;
        for (QAbstractButton* button : card->findChildren<QAbstractButton*>())
            if (button->objectName().isEmpty()) {
                chips << button->text();
                if (!first)
                    first = button;
            }
        QCOMPARE(chips, (QStringList{"0:00\u20130:00", "1:15\u20131:32", "1:02:05\u20131:02:05"}));
        QCOMPARE(first->accessibleName(), QStringLiteral("Play from 0:00 to 0:00"));
        // Reached with Tab, a chip shows the focus ring round its capsule.
        const QImage plain = first->grab().toImage();
        first->setFocus(Qt::TabFocusReason);
        QVERIFY(first->hasFocus() && first->grab().toImage() != plain);

        // A chip moves the playhead and leaves playback as it was.
        first->click();
        QCOMPARE(rig.player->currentTime(), std::min(0.1, rig.player->totalDuration()));
        QVERIFY(!rig.player->isPlaying());

        // Only the ambience-zero song offers the button; using it sets the level to 0 and the
        // song turns to "not detected with Ambience at 0"; raising the level brings it back.
        QCOMPARE(card->findChildren<QAbstractButton*>(QStringLiteral("copyrightCheck.ambienceZero")).size(), 1);
        named(card, QStringLiteral("copyrightCheck.ambienceZero"))->click();
        QCOMPARE(coordinator.settings().ambience, 0.0);
        QVERIFY(labelTexts(card).contains("Not detected with Ambience at 0"));
        QVERIFY(!named(card, QStringLiteral("copyrightCheck.ambienceZero")));
        coordinator.setAmbience(0.5);
        QVERIFY(named(card, QStringLiteral("copyrightCheck.ambienceZero")));
    }
};

QTEST_MAIN(TestSongCheckCard)
#include "test_song_check_card.moc"
