// The coordinator of the open video against a scripted engine and scripted media work: opening,
// the preview and full runs, cancellation at each step, one run at a time, the sign-in retry and
// the promotion of a preview with its fall-back.

#include "coordinator/engine_coordinator.h"
#include "helpers_coordinator.h"

#include "backend/api_client.h"
#include "backend/api_error.h"
#include "backend/session_token_store.h"
#include "platform/network.h"
#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QTimeZone>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace hf;
using namespace hf::test;
using namespace std::chrono_literals;


class TestEngineCoordinator : public QObject {
    Q_OBJECT

    // A fresh rig per test; the names below point into it.
    std::unique_ptr<CoordinatorRig> rig;
    MemorySettingsStore* defaults = nullptr;
    AccountStore* account = nullptr;
    ReviewPrompter* prompter = nullptr;
    RecentVideos* recents = nullptr;
    AudioPlayerService* player = nullptr;
    FakeEngine* engine = nullptr;
    FakeMedia* media = nullptr;
    EngineCoordinator* coordinator = nullptr;

    QString workFolder() const { return rig->work(); }
    QUrl video(const QString& name, double seconds = 20.0) { return rig->video(name, seconds); }

    // Opens a video and waits until its automatic preview has a result.
    void openAndPreview(const QUrl& url) { QVERIFY(rig->openAndPreview(url)); }

    int jobFolders() const
    {
        return int(QDir(workFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
    }

    bool isIdle() const
    {
        return !coordinator->isProcessing() && !coordinator->processingKind()
               && coordinator->progress() == ProcessingProgress{};
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<CoordinatorRig>();
        defaults = rig->defaults.get();
        account = rig->account.get();
        prompter = rig->prompter.get();
        recents = rig->recents.get();
        player = rig->player.get();
        engine = rig->engine.get();
        media = rig->media.get();
        coordinator = rig->coordinator.get();
    }

    void cleanup() { rig.reset(); }

    void settingsAndDerivedFlags()
    {
        // Settings: every write is stored, only a change is signalled.
        QSignalSpy settingsSpy(coordinator, &EngineCoordinator::settingsChanged);
        defaults->remove(QString::fromLatin1(SeparationSettings::storageKey));
        coordinator->setSettings(coordinator->settings());
        QVERIFY(defaults->contains(QString::fromLatin1(SeparationSettings::storageKey)));
        QCOMPARE(settingsSpy.count(), 0);
        SeparationSettings quieter = coordinator->settings();
        quieter.ambience = 0.25;
        coordinator->setSettings(quieter);
        QCOMPARE(settingsSpy.count(), 1);
        QCOMPARE(SeparationSettings::load(*defaults).ambience, 0.25);

        // The derived flags follow the result and the exported id.
        openAndPreview(video("clip.mp4"));
        QVERIFY(coordinator->hasPreviewResult() && !coordinator->hasUnexportedFullResult());
        QVERIFY(coordinator->claimSplitMoment());
        QVERIFY(!coordinator->claimSplitMoment());
        openAndPreview(video("clip.mp4"));   // the same video again: the split played already
        QVERIFY(!coordinator->claimSplitMoment());
        coordinator->cleanFullVideo();       // a 20-second preview is promoted
        QVERIFY(waitFor([&] { return coordinator->hasFullResult() && !coordinator->isPromoting(); }));
        QVERIFY(coordinator->hasUnexportedFullResult());
        QVERIFY(!coordinator->claimSplitMoment());
        QSignalSpy unexportedSpy(coordinator, &EngineCoordinator::hasUnexportedFullResultChanged);
        coordinator->setExportedResultID(coordinator->currentResult()->id);
        QVERIFY(!coordinator->hasUnexportedFullResult());
        QCOMPARE(unexportedSpy.count(), 1);
    }

    void openingAndImportFailures()
    {
        // Not a movie: only the message; the open video and its running preview stay.
        engine->gate = makeGate();
        coordinator->openVideo(video("first.mp4"));
        QVERIFY(waitFor([&] { return engine->calls.size() == 1; }));
        coordinator->openVideo(QUrl::fromLocalFile(rig->dir.filePath("notes.txt")));
        QCOMPARE(coordinator->errorMessage(), QString("That file isn't a video Hushframe can open."));
        QCOMPARE(coordinator->source()->displayName, QString("first.mp4"));
        QVERIFY(coordinator->isProcessing());
        QVERIFY(!engine->calls[0].stop.stop_requested());

        // A second video closes the first (its run stopped) once it has been read; isImporting
        // spans the inspection, during which the first stays open, and the source is set by the
        // time the preview starts.
        QSignalSpy importingSpy(coordinator, &EngineCoordinator::isImportingChanged);
        coordinator->openVideo(video("second.mov", 10800.0));
        QVERIFY(!engine->calls[0].stop.stop_requested());
        QVERIFY(coordinator->source() && coordinator->isProcessing() && coordinator->isImporting());
        QVERIFY(!coordinator->errorMessage());
        QVERIFY(waitFor([&] { return engine->calls.size() == 2; }));
        QVERIFY(engine->calls[0].stop.stop_requested());
        QVERIFY(!coordinator->isImporting());
        QCOMPARE(importingSpy.count(), 2);
        QCOMPARE(coordinator->source()->duration, 10800.0);   // exactly 3 hours opens
        QCOMPARE(recents->entries().front().displayName, QString("second.mov"));
        QCOMPARE(media->extractions.back(), std::optional<double>(30.0));

        // Longer than 3 hours: refused; the open video stays as it was.
        coordinator->openVideo(video("long.mp4", 10800.5));
        QVERIFY(waitFor([&] { return !coordinator->isImporting(); }));
        QCOMPARE(coordinator->source()->displayName, QString("second.mov"));
        QCOMPARE(coordinator->errorMessage(), QString("Videos can be up to 3 hours long."));
        QCOMPARE(recents->entries().front().displayName, QString("second.mov"));

        // Unreadable: the inspection's own text; still nothing else changes.
        media->inspectError = MediaError(MediaError::Case::noAudioTrack);
        coordinator->openVideo(video("silent.mp4"));
        QVERIFY(waitFor([&] { return !coordinator->isImporting(); }));
        QCOMPARE(coordinator->source()->displayName, QString("second.mov"));
        QVERIFY(!engine->calls[1].stop.stop_requested());
        QCOMPARE(coordinator->errorMessage(), QString("This video has no soundtrack, so there's no music to remove."));
        QCOMPARE(engine->calls.size(), size_t(2));

        // Two imports at once: the later one wins, whichever ends first.
        media->inspectError.reset();
        engine->gate.reset();
        coordinator->openVideo(video("a.mp4"));
        coordinator->openVideo(video("b.mp4"));
        QVERIFY(waitFor([&] { return !coordinator->isImporting() && coordinator->hasPreviewResult(); }));
        QTest::qWait(20);
        QCOMPARE(coordinator->source()->displayName, QString("b.mp4"));
        QCOMPARE(coordinator->currentResult()->sourceVideoURL.fileName(), QString("b.mp4"));

        // Clearing drops everything derived from the video.
        coordinator->clearSource();
        QVERIFY(!coordinator->source() && !coordinator->currentResult() && coordinator->thumbnail().isNull()
                && coordinator->cleanWaveform().empty() && !coordinator->stemEnvelopes() && isIdle());
    }

    void previewRunAndAppliedResult()
    {
        std::vector<ProcessingProgress> reports;
        connect(coordinator, &EngineCoordinator::progressChanged, this,
                [&] { reports.push_back(coordinator->progress()); });
        openAndPreview(video("short.mp4", 20.0));

        const SeparationResult& result = *coordinator->currentResult();
        QCOMPARE(result.kind, JobKind::preview);
        QVERIFY(result.coversWholeVideo);
        QCOMPARE(result.duration, 20.0);
        QCOMPARE(result.jobID, QString("job-1"));
        QCOMPARE(result.ambience, 0.75);
        QCOMPARE(engine->calls[0].kind, JobKind::preview);
        QVERIFY(!engine->calls[0].claimCheck);   // a preview never asks for a song check
        QCOMPARE(jobFolders(), 1);
        QCOMPARE(QFileInfo(result.cleanAudioURL.toLocalFile()).path(),
                 QFileInfo(result.originalAudioURL.toLocalFile()).path());

        QCOMPARE(reports.front().currentStatusMessage, QString("Reading the soundtrack"));
        QCOMPARE(reports[reports.size() - 2].currentStatusMessage, QString("Mixing dialogue and ambience"));
        QCOMPARE(reports.back(), (ProcessingProgress{ProcessingStage::Kind::completed, 1.0, "Done"}));

        // The graphics: the clean waveform and the stem envelopes; the original waveform is left
        // alone for a preview. The picture and the original envelope come from the opening.
        QVERIFY(waitFor([&] { return coordinator->stemEnvelopes().has_value(); }));
        QVERIFY(waitFor([&] { return coordinator->cleanWaveform() == std::vector<float>(100, 0.5f); }));
        QVERIFY(coordinator->originalWaveform().empty());
        QVERIFY(waitFor([&] { return !coordinator->thumbnail().isNull() && coordinator->originalEnvelope(); }));
        QVERIFY(recents->thumbnail(recents->entries().front().id).has_value());
        QVERIFY(!coordinator->showExportSheet());

        // A longer video: its first 30 seconds, not covering it; the full clean runs a full job
        // with the song-check wish of the settings, and raises the export sheet.
        openAndPreview(video("long.mp4", 45.0));
        QVERIFY(!coordinator->currentResult()->coversWholeVideo);
        QCOMPARE(coordinator->currentResult()->duration, 30.0);
        SeparationSettings noChecks = coordinator->settings();
        noChecks.checkSongsAutomatically = false;
        coordinator->setSettings(noChecks);
        coordinator->cleanFullVideo();
        QVERIFY(waitFor([&] { return coordinator->hasFullResult(); }));
        QVERIFY(engine->promotions.empty());
        QCOMPARE(engine->calls.back().kind, JobKind::full);
        QVERIFY(!engine->calls.back().claimCheck);
        QCOMPARE(media->extractions.back(), std::optional<double>());
        QCOMPARE(coordinator->currentResult()->duration, 45.0);
        QVERIFY(coordinator->currentResult()->coversWholeVideo);
        QVERIFY(coordinator->showExportSheet());
        QVERIFY(waitFor([&] { return coordinator->originalWaveform() == std::vector<float>(100, 1.0f); }));
        QVERIFY(recents->entries().front().result.has_value());
        QCOMPARE(recents->entries().front().result->jobID, coordinator->currentResult()->jobID);
        QVERIFY(!coordinator->isProcessing() && !coordinator->processingKind());

        // With a full result, further requests are ignored.
        coordinator->cleanFullVideo();
        QVERIFY(!coordinator->isProcessing());
    }

    void cancellationAtEachStep()
    {
        // During the extraction.
        media->extractGate = makeGate();
        coordinator->openVideo(video("clip.mp4"));
        QVERIFY(waitFor([&] { return media->extractions.size() == 1; }));
        QCOMPARE(coordinator->processingKind(), std::optional<JobKind>(JobKind::preview));
        coordinator->cancelProcessing();
        QVERIFY(isIdle());
        media->extractGate->resolve(true);
        QTest::qWait(30);
        QVERIFY(engine->calls.empty());
        QVERIFY(isIdle() && !coordinator->currentResult() && !coordinator->errorMessage());
        media->extractGate.reset();

        // During the cloud job: the engine sees the stop; its late reports are dropped.
        engine->gate = makeGate();
        coordinator->startAutomaticPreview();
        QVERIFY(waitFor([&] { return engine->calls.size() == 1; }));
        coordinator->cancelProcessing();
        QVERIFY(engine->calls[0].stop.stop_requested());
        engine->lastProgress(ProcessingProgress{ProcessingStage::Kind::separating, 0.5, "Separating"});
        QTest::qWait(30);
        QVERIFY(isIdle() && !coordinator->currentResult());
        engine->gate.reset();

        // During the mix (which does not stop by itself), and just after it finished, before the
        // run came back to the main thread: no result is published.
        for (bool releaseFirst : {false, true}) {
            media->mixGate = makeGate();
            const size_t mixes = media->mixAmbiences.size();
            coordinator->startAutomaticPreview();
            QVERIFY(waitFor([&] { return media->mixAmbiences.size() == mixes + 1; }));
            QCOMPARE(coordinator->progress().stage.kind(), ProcessingStage::Kind::mixing);
            if (releaseFirst) {
                media->mixGate->resolve(true);
                coordinator->cancelProcessing();
            } else {
                coordinator->cancelProcessing();
                media->mixGate->resolve(true);
            }
            QTest::qWait(30);
            QVERIFY2(!coordinator->currentResult(), releaseFirst ? "released first" : "cancelled first");
            QVERIFY(isIdle());
        }

        // A new video opened during the mix never gets the old video's result.
        media->mixGate = makeGate();
        coordinator->startAutomaticPreview();
        QVERIFY(waitFor([&] { return coordinator->progress().stage.kind() == ProcessingStage::Kind::mixing; }));
        Gate oldMix = media->mixGate;
        media->mixGate = makeGate();   // the new video's mix waits too
        coordinator->openVideo(video("other.mp4"));
        QVERIFY(waitFor([&] {
            return coordinator->source() && coordinator->source()->displayName == "other.mp4" && coordinator->isProcessing();
        }));
        oldMix->resolve(true);
        QTest::qWait(30);
        QVERIFY(!coordinator->currentResult());
        QCOMPARE(coordinator->processingKind(), std::optional<JobKind>(JobKind::preview));
        media->mixGate->resolve(true);
        QVERIFY(waitFor([&] { return coordinator->hasPreviewResult(); }));
        QCOMPARE(coordinator->currentResult()->sourceVideoURL.fileName(), QString("other.mp4"));
        QVERIFY(!coordinator->errorMessage());
    }

    void oneRunAtATime()
    {
        engine->gate = makeGate();
        coordinator->openVideo(video("clip.mp4"));
        QVERIFY(waitFor([&] { return engine->calls.size() == 1; }));

        // The full clean is not requested while the preview runs.
        coordinator->cleanFullVideo();
        QTest::qWait(20);
        QCOMPARE(engine->calls.size(), size_t(1));

        // A new start replaces the running one at once.
        const SourceVideo source = *coordinator->source();
        EngineCoordinator* c = coordinator;
        coordinator->startProcessing(JobKind::full,
                                     [c, source](std::stop_token stop) { return c->extractFullSoundtrack(source, stop); });
        QVERIFY(engine->calls[0].stop.stop_requested());
        QCOMPARE(coordinator->processingKind(), std::optional<JobKind>(JobKind::full));
        FakeEngine::ProgressCallback stale = engine->lastProgress;
        QVERIFY(waitFor([&] { return engine->calls.size() == 2; }));
        // The stopped run's late report does not reach the new run's progress.
        const ProcessingProgress current = coordinator->progress();
        stale(ProcessingProgress{ProcessingStage::Kind::separating, 0.6, "Separating"});
        QCOMPARE(coordinator->progress(), current);
        engine->gate->resolve(true);   // the stopped call has ended already; only the new one goes on
        QVERIFY(waitFor([&] { return coordinator->hasFullResult(); }));
        QCOMPARE(engine->jobs, 1);
        QCOMPARE(coordinator->currentResult()->jobID, QString("job-1"));
        QVERIFY(!coordinator->isProcessing() && !coordinator->processingKind());
    }

    void failuresAndSignIn()
    {
        // A failed run: the same text as progress and message, the review prompt suppressed.
        engine->failure = QStringLiteral("The separation failed.");
        coordinator->openVideo(video("clip.mp4"));
        QVERIFY(waitFor([&] { return coordinator->progress().stage.kind() == ProcessingStage::Kind::failed; }));
        const QString message = *coordinator->errorMessage();
        QVERIFY(!message.isEmpty());
        QCOMPARE(coordinator->progress().currentStatusMessage, message);
        QCOMPARE(coordinator->progress().stage.message(), message);
        QCOMPARE(coordinator->progress().fractionCompleted, 0.0);
        QVERIFY(prompter->sessionIsSuppressed);
        QVERIFY(!coordinator->isProcessing() && !coordinator->processingKind());
        engine->failure.reset();

        // The account limit: a sign-in, then one more attempt with a new extraction.
        engine->accountLimitAnswers = 1;
        coordinator->startAutomaticPreview();
        QVERIFY(!coordinator->errorMessage());
        QVERIFY(waitFor([&] { return account->isSignInPresented(); }));
        QCOMPARE(account->signInReason(), SignInReason::required);
        QVERIFY(coordinator->isProcessing());
        const int foldersBefore = jobFolders();
        account->setSignInPresented(false);
        account->resumeSignInWaiters(true);
        QVERIFY(waitFor([&] { return coordinator->hasPreviewResult() && !coordinator->isProcessing(); }));
        QCOMPARE(jobFolders(), foldersBefore + 1);
        QCOMPARE(engine->calls.size(), size_t(3));
        QVERIFY(!coordinator->errorMessage());

        // Declined: ends like a cancellation, progress left at the last report.
        engine->accountLimitAnswers = 1;
        coordinator->clearSource();
        coordinator->openVideo(video("clip.mp4"));
        QVERIFY(waitFor([&] { return account->isSignInPresented(); }));
        const ProcessingProgress last = coordinator->progress();
        account->setSignInPresented(false);
        account->signInSheetDismissed();   // no session token is stored: declined
        QVERIFY(waitFor([&] { return !coordinator->isProcessing(); }));
        QVERIFY(!coordinator->errorMessage() && !coordinator->currentResult());
        QCOMPARE(coordinator->progress(), last);

        // A second refusal after signing in is an ordinary failure.
        engine->accountLimitAnswers = 2;
        coordinator->startAutomaticPreview();
        QVERIFY(waitFor([&] { return account->isSignInPresented(); }));
        account->setSignInPresented(false);
        account->resumeSignInWaiters(true);
        QVERIFY(waitFor([&] { return coordinator->errorMessage().has_value(); }));
        QCOMPARE(*coordinator->errorMessage(), APIError::accountLimitReached().localizedDescription());
        QVERIFY(!account->isSignInPresented());

        // A run cancelled while the sheet is up stays cancelled whatever the sheet's outcome.
        engine->accountLimitAnswers = 1;
        coordinator->startAutomaticPreview();
        QVERIFY(waitFor([&] { return account->isSignInPresented(); }));
        const size_t calls = engine->calls.size();
        coordinator->cancelProcessing();
        account->setSignInPresented(false);
        account->resumeSignInWaiters(true);
        QTest::qWait(30);
        QCOMPARE(engine->calls.size(), calls);
        QVERIFY(isIdle());
    }

    void promotionAndFallback()
    {
        // A preview covering the whole video is promoted: same id and files, kind full.
        openAndPreview(video("short.mp4", 20.0));
        SeparationResult preview = *coordinator->currentResult();
        QVERIFY(waitFor([&] { return coordinator->stemEnvelopes().has_value(); }));
        coordinator->cleanFullVideo();
        QVERIFY(coordinator->isPromoting());
        coordinator->cleanFullVideo();   // refused while promoting
        QVERIFY(waitFor([&] { return !coordinator->isPromoting(); }));
        QCOMPARE(engine->promotions.size(), size_t(1));
        QCOMPARE(engine->promotions[0].jobID, preview.jobID);
        QCOMPARE(engine->promotions[0].duration, 20.0);
        QVERIFY(engine->promotions[0].claimCheck);
        QCOMPARE(engine->calls.size(), size_t(1));   // nothing uploaded again
        SeparationResult expected = preview;
        expected.kind = JobKind::full;
        expected.jobID = preview.jobID + "-full";
        expected.coversWholeVideo = true;
        QCOMPARE(*coordinator->currentResult(), expected);   // no check, no expiry: the preview's kept
        QVERIFY(coordinator->showExportSheet());
        QCOMPARE(coordinator->progress().currentStatusMessage, QString("Done"));
        QVERIFY(recents->entries().front().result.has_value());
        QVERIFY(waitFor([&] { return coordinator->originalWaveform() == std::vector<float>(100, 1.0f); }));

        // Refused by the service: a full clean of the open video runs instead.
        engine->promoteError = APIError::server(APIErrorCode::conflict, QStringLiteral("Already promoted"), 409);
        openAndPreview(video("short.mp4", 20.0));
        coordinator->cleanFullVideo();
        QVERIFY(waitFor([&] { return coordinator->hasFullResult() && !coordinator->isPromoting(); }));
        QCOMPARE(engine->calls.back().kind, JobKind::full);
        QVERIFY(!coordinator->errorMessage());

        // A refusal that arrives after another video was opened starts nothing.
        openAndPreview(video("short.mp4", 20.0));
        engine->promoteGate = makeGate();
        coordinator->cleanFullVideo();
        QVERIFY(coordinator->isPromoting());
        engine->gate = makeGate();
        const size_t calls = engine->calls.size() + 1;
        coordinator->openVideo(video("next.mp4", 50.0));
        QVERIFY(waitFor([&] { return engine->calls.size() == calls; }));
        engine->promoteGate->resolve(true);
        QVERIFY(waitFor([&] { return !coordinator->isPromoting(); }));
        QTest::qWait(20);
        QCOMPARE(engine->calls.size(), calls);
        QCOMPARE(coordinator->processingKind(), std::optional<JobKind>(JobKind::preview));
        engine->gate->resolve(true);
        QVERIFY(waitFor([&] { return coordinator->hasPreviewResult(); }));
        engine->gate.reset();
        engine->promoteGate.reset();

        // Any other failure leaves the preview current and shows its text; no full run.
        engine->promoteError = APIError::network(QStringLiteral("The network connection was lost."));
        openAndPreview(video("short.mp4", 20.0));
        const QUuid previewID = coordinator->currentResult()->id;
        coordinator->cleanFullVideo();
        QVERIFY(waitFor([&] { return !coordinator->isPromoting() && coordinator->errorMessage(); }));
        QCOMPARE(*coordinator->errorMessage(), engine->promoteError->localizedDescription());
        QCOMPARE(coordinator->progress().stage.kind(), ProcessingStage::Kind::failed);
        QCOMPARE(coordinator->currentResult()->id, previewID);
        QVERIFY(!coordinator->isProcessing());

        // A preview of another file than the open one is never promoted.
        engine->promoteError.reset();
        QVERIFY(coordinator->promotablePreview().has_value());
        coordinator->setSource(SourceVideo{video("elsewhere.mp4"), "elsewhere.mp4", 20.0, false});
        QVERIFY(!coordinator->promotablePreview());
    }

    void promotionKeepsTheJobsCheckAndExpiry()
    {
        ClaimCheck decided;
        decided.status = ClaimCheckStatus::clear;
        engine->promotedClaimCheck = decided;
        engine->promotedExpiry = QDateTime(QDate(2030, 1, 2), QTime(3, 4), Qt::UTC);
        openAndPreview(video("short.mp4", 20.0));
        coordinator->cleanFullVideo();
        QVERIFY(waitFor([&] { return coordinator->hasFullResult() && !coordinator->isPromoting(); }));
        QCOMPARE(coordinator->currentResult()->claimCheck, std::optional<ClaimCheck>(decided));
        QCOMPARE(coordinator->currentResult()->expiresAt, engine->promotedExpiry);
    }

    void lateGraphicsOfAnEarlierResult()
    {
        // The stem envelopes and waveforms of a result replaced meanwhile are dropped.
        openAndPreview(video("one.mp4"));
        QVERIFY(waitFor([&] { return coordinator->stemEnvelopes().has_value(); }));
        QCOMPARE(coordinator->stemEnvelopes()->dialogue.peaks.size(), size_t(1));   // job-1
        SeparationResult old = *coordinator->currentResult();
        old.id = QUuid::createUuid();
        old.dialogueStemURL = QUrl::fromLocalFile("/stems/job-7/dialogue.flac");
        coordinator->applyResult(old);
        openAndPreview(video("two.mp4"));
        QVERIFY(waitFor([&] { return coordinator->stemEnvelopes().has_value(); }));
        QTest::qWait(30);
        QCOMPARE(coordinator->stemEnvelopes()->dialogue.peaks.size(), size_t(2));   // job-2, not job-7
    }
};

QTEST_GUILESS_MAIN(TestEngineCoordinator)
#include "test_engine_coordinator.moc"
