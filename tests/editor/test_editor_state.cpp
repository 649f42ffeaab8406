// The editor's derived labels over the coordinator's and the player's state.

#include "editor/editor_state.h"
#include "helpers_coordinator.h"

#include <QTest>

using namespace hf;

class TestEditorState : public QObject {
    Q_OBJECT

    std::unique_ptr<test::CoordinatorRig> rig;

    EditorState state() const { return EditorState{rig->coordinator.get(), rig->player.get(), rig->account.get()}; }

    void open(double seconds)
    {
        SourceVideo video;
        video.url = QUrl::fromLocalFile("/videos/Harbour.mp4");
        video.displayName = "Harbour.mp4";
        video.duration = seconds;
        rig->coordinator->setSource(video);
    }

    void setResult(JobKind kind)
    {
        SeparationResult result;
        result.kind = kind;
        result.duration = 30;
        rig->coordinator->setCurrentResult(result);
    }

    void setProcessing(bool processing, std::optional<JobKind> kind, double fraction = 0)
    {
        rig->coordinator->setProcessing(processing);
        rig->coordinator->setProcessingKind(kind);
        ProcessingProgress progress;
        progress.fractionCompleted = fraction;
        rig->coordinator->setProgress(progress);
    }

private Q_SLOTS:
    void init() { rig = std::make_unique<test::CoordinatorRig>(); }
    void cleanup() { rig.reset(); }

    void subtitleFollowsTheClean()
    {
        // Nothing open: the clock of 0 seconds alone.
        QCOMPARE(state().windowSubtitle(), QString("0:00"));
        QVERIFY(!state().hasResult());

        open(3725);
        QCOMPARE(state().windowSubtitle(), QString("1:02:05"));
        // A running clean whose kind is not set yet counts as the preview.
        setProcessing(true, std::nullopt, 0.4);
        QCOMPARE(state().windowSubtitle(), QString("1:02:05, making the preview"));
        setProcessing(true, JobKind::preview, 0.4);
        QCOMPARE(state().windowSubtitle(), QString("1:02:05, making the preview"));

        setProcessing(false, std::nullopt);
        setResult(JobKind::preview);
        QVERIFY(state().hasResult());
        QCOMPARE(state().windowSubtitle(), QString("1:02:05, preview ready"));

        // A full clean over the preview.
        setProcessing(true, JobKind::full, 0.3);
        QCOMPARE(state().windowSubtitle(), QString("1:02:05, cleaning"));

        setProcessing(false, std::nullopt);
        setResult(JobKind::full);
        QCOMPARE(state().windowSubtitle(), QString("1:02:05, cleaned"));
    }

    void laneStatusWhileSeparating()
    {
        open(75);
        QCOMPARE(state().laneStatus(), std::nullopt);
        setProcessing(true, JobKind::preview, 0.756);
        QCOMPARE(state().laneStatus(), std::optional<QString>("Separating, 75%"));
        // Never a negative percent.
        setProcessing(true, JobKind::preview, -0.2);
        QCOMPARE(state().laneStatus(), std::optional<QString>("Separating, 0%"));
        // A result whose stems are still being read (a cleaned video reopened) is separated; once
        // they are read the lanes show them and need no status.
        setProcessing(false, std::nullopt);
        setResult(JobKind::full);
        QCOMPARE(state().laneStatus(), std::optional<QString>("Separated, drawing the stems"));
        rig->coordinator->setStemEnvelopes(StemEnvelopes{});
        QCOMPARE(state().laneStatus(), std::nullopt);
    }

    void hearingNamesTheAudibleTrack()
    {
        QCOMPARE(state().hearing(), QString("Hearing: Clean"));
        rig->player->toggleSolo(Stem::effects);
        QCOMPARE(state().hearing(), QString("Hearing: Effects and ambience only"));
        // Comparing makes the original audible whatever is selected.
        rig->player->setComparing(true);
        QCOMPARE(state().hearing(), QString("Hearing: Original"));
        rig->player->setComparing(false);
        rig->player->toggleSolo(Stem::music);
        QCOMPARE(state().hearing(), QString("Hearing: Music only"));
    }
};

QTEST_MAIN(TestEditorState)
#include "test_editor_state.moc"
