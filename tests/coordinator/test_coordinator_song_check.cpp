// The song check card derived from a result's check and the ambience level, and the request's
// answers from the local server (a refusal, a failure, a request already on its way).

#include "helpers_coordinator.h"

#include "support/local_server.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QDateTime>
#include <QTest>

using namespace hf;
using namespace hf::test;

using Card = CopyrightCheckCard;

namespace {

ClaimCheckSong song(const QString& title, ClaimCheckVerdict verdict, std::vector<ClaimCheckRange> ranges = {},
                    std::optional<QString> artist = std::nullopt)
{
    ClaimCheckSong s;
    s.title = title;
    s.artist = std::move(artist);
    s.ranges = std::move(ranges);
    s.verdict = verdict;
    return s;
}

ClaimCheckMatch match(const QString& title, std::optional<double> offset)
{
    ClaimCheckMatch m;
    m.title = title;
    m.offsetSeconds = offset;
    return m;
}

} // namespace

class TestCoordinatorSongCheck : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void songList()
    {
        ClaimCheck check;
        check.status = ClaimCheckStatus::match;
        check.songs = std::vector<ClaimCheckSong>{
            song(" \tFirst Tune ", ClaimCheckVerdict::gone, {{75, 80}, {90, 85}}, QStringLiteral("  ")),
            song("   ", ClaimCheckVerdict::gone),
            song("Third", ClaimCheckVerdict::ambienceZero, {{5, 1}}, QStringLiteral(" Band ")),
            song("Fourth", ClaimCheckVerdict::unknown),
        };
        // The songs list alone counts, even beside matches.
        check.matches = std::vector<ClaimCheckMatch>{match("Ignored", 1.0)};
        std::vector<Card::Song> list = Card::songs(check, 0.0011);
        QCOMPARE(list.size(), size_t(3));
        QCOMPARE(list[0], (Card::Song{0, "First Tune", std::nullopt, {{75, 80}}, Card::Verdict::gone}));
        QCOMPARE(list[1], (Card::Song{2, "Third", QString("Band"), {}, Card::Verdict::ambienceZero}));
        QCOMPARE(list[2].verdict, Card::Verdict::stillThere);
        QCOMPARE(Card::songs(check, 0.001)[1].verdict, Card::Verdict::ambienceZeroApplied);

        // An older check: its matches, one 12-second range from each offset.
        ClaimCheck legacy;
        legacy.status = ClaimCheckStatus::match;
        legacy.matches = std::vector<ClaimCheckMatch>{match("A", 10.0), match("B", std::nullopt)};
        list = Card::songs(legacy, 0.5);
        QCOMPARE(list.size(), size_t(2));
        QCOMPARE(list[0].ranges, (std::vector<ClaimCheckRange>{{10.0, 22.0}}));
        QVERIFY(list[1].ranges.empty());
        QCOMPARE(list[0].verdict, Card::Verdict::stillThere);
        legacy.clearWithoutAmbience = true;
        QCOMPARE(Card::songs(legacy, 0.0)[0].verdict, Card::Verdict::ambienceZeroApplied);
        legacy.status = ClaimCheckStatus::clear;
        QVERIFY(Card::songs(legacy, 0.0).empty());

        QCOMPARE(Card::rangeLabel(75, 3725), QString("1:15\u20131:02:05"));
        QCOMPARE(Card::rangeAccessibilityLabel(75, 3725), QString("Play from 1:15 to 1:02:05"));
        QCOMPARE(Card::label(Card::Verdict::ambienceZero), QString("Set Ambience to 0 to remove"));
    }

    void cardOfTheCurrentResult()
    {
        CoordinatorRig rig;
        EngineCoordinator* c = rig.coordinator.get();
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::hidden));
        ClaimCheck checking;
        checking.status = ClaimCheckStatus::checking;
        rig.engine->claimCheck = checking;   // only a full job carries it
        QVERIFY(rig.openAndPreview(rig.video("clip.mp4", 45)));
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::hidden));
        c->cleanFullVideo();
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isProcessing(); }));
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::checking));
        const QUuid id = c->currentResult()->id;

        // Storing a decided check: the result and its recent entry; the card follows the ambience.
        ClaimCheck decided;
        decided.status = ClaimCheckStatus::match;
        decided.songs = std::vector<ClaimCheckSong>{song("Tune", ClaimCheckVerdict::ambienceZero)};
        c->updateClaimCheck(decided, QUuid::createUuid());   // another result's: ignored
        QCOMPARE(c->currentResult()->claimCheck, std::optional<ClaimCheck>(checking));
        c->updateClaimCheck(decided, id);
        QCOMPARE(rig.recents->entries().front().result->claimCheck, std::optional<ClaimCheck>(decided));
        QCOMPARE(c->copyrightCheckCard().songList[0].verdict, Card::Verdict::ambienceZero);
        c->setAmbience(0);
        QCOMPARE(c->copyrightCheckCard().songList[0].verdict, Card::Verdict::ambienceZeroApplied);

        decided.songs->clear();
        c->updateClaimCheck(decided, id);
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::noSongs));
        // A service that made no check (nothing to compare with) is not a failure; one whose
        // check broke, or answered what the client does not know, is.
        decided.status = ClaimCheckStatus::notChecked;
        c->updateClaimCheck(decided, id);
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::unavailable));
        for (ClaimCheckStatus status : {ClaimCheckStatus::error, ClaimCheckStatus::unknown}) {
            decided.status = status;
            c->updateClaimCheck(decided, id);
            QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::failed));
        }

        // No check: available until the job expires.
        c->updateClaimCheck(std::nullopt, id);
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::available));
        c->modifyCurrentResult([](SeparationResult& r) { r.expiresAt = QDateTime::currentDateTimeUtc().addSecs(60); });
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::available));
        c->modifyCurrentResult([](SeparationResult& r) { r.expiresAt = QDateTime::currentDateTimeUtc().addSecs(-1); });
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::expired));
    }

    // Cancelling a clean stops the song check that follows its result: no poll after it.
    void cancellingStopsTheFollow()
    {
        TestHttpServer server;
        CoordinatorRig rig(server.baseUrl());
        rig.tokens.save(QStringLiteral("token"));
        EngineCoordinator* c = rig.coordinator.get();
        c->setSongCheckPolling(std::chrono::milliseconds(20), std::chrono::seconds(30));
        ClaimCheck checking;
        checking.status = ClaimCheckStatus::checking;
        rig.engine->claimCheck = checking;
        QVERIFY(rig.openAndPreview(rig.video("clip.mp4", 45)));
        c->cleanFullVideo();
        QVERIFY(waitFor([&] { return c->hasFullResult() && !c->isProcessing(); }));
        const auto polls = [&server] {
            int n = 0;
            for (const auto& request : server.received())
                n += request.method == "GET" && request.path.rfind("/v1/jobs/", 0) == 0;
            return n;
        };
        QVERIFY(waitFor([&] { return polls() >= 2; }));
        c->cancelProcessing();
        QTest::qWait(100);   // a poll already on its way
        const int before = polls();
        QTest::qWait(300);
        QCOMPARE(polls(), before);
    }

    void requestAnswers()
    {
#ifndef HF_HAVE_LOCAL_SERVER
        QSKIP("needs the local server");
#else
        LocalServer server;
        CoordinatorRig rig(server.baseUrl());
        EngineCoordinator* c = rig.coordinator.get();
        runTask(rig.account->ensureSession());
        QVERIFY(rig.openFullResult(rig.video("clip.mp4", 45)));
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::available));

        // Refused by the service: the card shows expired, and nothing else is said.
        server.addFault({{"method", "POST"}, {"path", "/v1/jobs/*/claim-check"}, {"status", 409}, {"times", 1}});
        c->requestSongCheck();
        QVERIFY(c->isRequestingSongCheck());
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::checking));
        QVERIFY(waitFor([&] { return !c->isRequestingSongCheck(); }));
        QCOMPARE(c->songCheckRefusedResultID(), std::optional<QUuid>(c->currentResult()->id));
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::expired));
        QVERIFY(!c->errorMessage());

        // Any other failure is shown; a request already on its way is not sent twice.
        c->setSongCheckRefusedResultID(std::nullopt);
        server.addFault({{"method", "POST"}, {"path", "/v1/jobs/*/claim-check"}, {"status", 500}, {"delayMs", 200}});
        c->requestSongCheck();
        c->requestSongCheck();
        QVERIFY(waitFor([&] { return !c->isRequestingSongCheck(); }));
        QVERIFY(c->errorMessage().has_value());
        QCOMPARE(c->copyrightCheckCard(), Card::of(Card::Kind::available));
        QVERIFY(!c->songCheckRefusedResultID());
#endif
    }
};

QTEST_GUILESS_MAIN(TestCoordinatorSongCheck)
#include "test_coordinator_song_check.moc"
