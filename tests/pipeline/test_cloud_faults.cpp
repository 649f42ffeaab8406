// The cloud engine against a server that misbehaves one answer at a time: the local server behind
// a proxy that trickles an answer, serves an HTML page for a stem or answers a poll from an
// overloaded gateway. The clean never hangs, never takes garbage for a stem, survives a brief
// overload, and a failed download is resumed without separating again.

#include "helpers_cloud.h"
#include "helpers_media.h"

#include "backend/api_client.h"
#include "pipeline/cloud_separation_engine.h"
#include "pipeline/cloud_stem_check.h"
#include "pipeline/formatting.h"
#include "pipeline/server_wait.h"
#include "pipeline/video_demuxer_muxer.h"
#include "platform/async.h"
#include "platform/network.h"
#include "support/faulty_proxy.h"
#include "support/test_support.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <regex>

using namespace hf;
using namespace std::chrono_literals;
using hf::test::FaultyProxy;
using hf::test::filesUnder;
using hf::test::runTask;
using hf::test::thrown;
using Answer = FaultyProxy::Answer;

class TestCloudFaults : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<hf::test::LocalCloud> local;
    std::unique_ptr<FaultyProxy> proxy;
    std::unique_ptr<APIClient> api;
    std::unique_ptr<CloudSeparationEngine> engine;
    QUrl soundtrack;
    double duration = 0;
    std::vector<ProcessingProgress> reports;
    // The time this thread, where the engine's timers run, was given to run.
    std::function<std::chrono::steady_clock::time_point()> given;

    QString jobsFolder() const { return dir.filePath(QStringLiteral("Jobs")); }

    // `bound`: shared with the calls before and after, as the tries of one clean share it.
    SeparatedStems separate(std::shared_ptr<OutageBound> bound = {})
    {
        return runTask(engine->separate(soundtrack, duration, JobKind::full, false,
                                        [this](const ProcessingProgress& p) { reports.push_back(p); }, {},
                                        std::move(bound)),
                       60000);
    }

    bool stemMatchesJob(const QUrl& stem) const
    {
        return stemMatches(stem.toLocalFile(), ExpectedStem{soundtrackChannels(soundtrack.toLocalFile()), duration});
    }

    QString lastStatus() const { return reports.empty() ? QString() : reports.back().currentStatusMessage; }

    // The id of the first job started through the proxy, or empty before one is.
    QString startedJobID() const
    {
        const std::vector<std::string> started = proxy->paths("POST", "/v1/jobs/[^/]+/start");
        return started.empty() ? QString() : QString::fromStdString(started.front()).section(u'/', 3, 3);
    }

    // The next answer to a job's record comes back with `status` and `from` replaced by `to`.
    void rewriteNextJobRecord(int status, const QString& from, const QString& to)
    {
        proxy->rewrite("GET", "/v1/jobs/[^/]+", [=](int& answered, std::string& body) {
            answered = status;
            body = std::regex_replace(body, std::regex(from.toStdString()), to.toStdString());
        });
    }

    // The real clock, moved on by `extra(i)` more at its i-th wait (from 0): time the process did
    // not run, as after a freeze or a suspend.
    static WaitClock skewedClock(std::function<std::chrono::milliseconds(int)> extra)
    {
        auto skew = std::make_shared<std::chrono::milliseconds>(0);
        auto waits = std::make_shared<int>(0);
        return WaitClock{[skew] { return std::chrono::steady_clock::now() + *skew; },
                         [=](std::chrono::milliseconds duration, std::stop_token stop) {
                             *skew += extra((*waits)++);
                             return sleepFor(duration, std::move(stop));
                         }};
    }

    static QByteArray bytesOf(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!hf::test::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        local = std::make_unique<hf::test::LocalCloud>();
        proxy = std::make_unique<FaultyProxy>(local->server->port());
        given = hf::test::givenClockOfThisThread();
        proxy->clock = given;
        api = std::make_unique<APIClient>(proxy->baseUrl(), local->apiSession.get(), &local->tokens);
        runTask(api->signInAnonymously());

        const std::optional<ExtractedAudio> extracted = hf::test::makeSoundtrack(dir.path(), 6);
        QVERIFY(extracted);
        soundtrack = extracted->url;
        duration = extracted->duration;
    }

    void init()
    {
        proxy->clear();
        local->apiSession->clearConnectionCache();
        local->transferSession->clearConnectionCache();
        QDir(jobsFolder()).removeRecursively();
        api->setRequestDeadline(2min);
        engine = std::make_unique<CloudSeparationEngine>(api.get(), local->uploader.get(),
                                                         local->transferSession.get(), jobsFolder());
        engine->setPollInterval(50ms);
        reports.clear();
    }

    void trickledAnswersEndTheCleanWithTheNetworkMessage()
    {
        // Creating the job: the deadline of the request ends it.
        api->setRequestDeadline(800ms);
        proxy->replace("POST", "/v1/jobs", Answer::trickle);
        QElapsedTimer clock;
        clock.start();
        auto e = thrown<APIError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(e->kind(), APIError::Case::network);
        QCOMPARE(lastStatus(), QStringLiteral("Creating job"));
        QVERIFY(clock.elapsed() < 5000);

        // Every poll trickles: each one fails at its deadline and the fifth in a row ends the clean.
        init();
        api->setRequestDeadline(800ms);
        proxy->replace("GET", "/v1/jobs/[^/]+", Answer::trickle, 1000);
        clock.restart();
        e = thrown<APIError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(e->kind(), APIError::Case::network);
        QCOMPARE(proxy->replaced(), CloudSeparationEngine::maxConsecutivePollFailures);
        QVERIFY(clock.elapsed() < 15000);

        // A stem that trickles falls below the download's minimum rate; nothing of it is kept.
        init();
        engine->setDownloadMinimumRate(1000, 1s);
        proxy->replace("GET", "/stems/.*/music.flac", Answer::trickle);
        clock.restart();
        e = thrown<APIError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(e->kind(), APIError::Case::network);
        QCOMPARE(lastStatus(), QStringLiteral("Downloading music (0%)"));
        QVERIFY(clock.elapsed() < 15000);
        const QStringList files = filesUnder(jobsFolder());
        QCOMPARE(files.size(), 1);
        QVERIFY(files.first().endsWith(u"/dialogue.flac"));
    }

    void pageInPlaceOfAStemIsRefused()
    {
        proxy->replace("GET", "/stems/.*/music.flac", Answer::htmlPage);
        auto e = thrown<SeparationError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(*e, SeparationError::invalidStem(QStringLiteral("music")));
        QCOMPARE(e->localizedDescription(),
                 QStringLiteral("The music stem that arrived isn't usable audio. Please try again."));
        // Neither the page nor anything under another name stays; the dialogue before it does.
        const QStringList files = filesUnder(jobsFolder());
        QCOMPARE(files.size(), 1);
        QVERIFY(files.first().endsWith(u"/dialogue.flac"));

        // A stem of another length or channel count than the soundtrack is refused too: the
        // dialogue of a second, shorter soundtrack served for this job's effects.
        init();
        const QString shortMovie = dir.filePath(QStringLiteral("short.mp4"));
        QVERIFY(hf::test::makeMovie(shortMovie, 2));
        const ExtractedAudio other = VideoDemuxerMuxer::extractSoundtrack(
            QUrl::fromLocalFile(shortMovie), QUrl::fromLocalFile(dir.filePath(QStringLiteral("Work"))), std::nullopt);
        const SeparatedStems shortStems = runTask(engine->separate(other.url, other.duration, JobKind::full, false, {}), 60000);
        const SeparatedStems stems = separate();
        QVERIFY(QFile::remove(stems.effectsURL.toLocalFile()));
        QVERIFY(QFile::copy(shortStems.dialogueURL.toLocalFile(), stems.effectsURL.toLocalFile()));
        QVERIFY(!stemMatchesJob(stems.effectsURL));
        QVERIFY(stemMatchesJob(stems.musicURL));
    }

    void briefOverloadOnPollsIsSurvived()
    {
        // One 503 during the separation, then gateway errors four times in a row: still done.
        proxy->replace("GET", "/v1/jobs/[^/]+", Answer::unavailable, 1);
        QCOMPARE(separate().job.status, JobStatus::succeeded);
        init();
        proxy->replace("GET", "/v1/jobs/[^/]+", Answer::badGateway, 4);
        QCOMPARE(separate().job.status, JobStatus::succeeded);

        // The fifth in a row ends the clean with the server's refusal.
        init();
        proxy->replace("GET", "/v1/jobs/[^/]+", Answer::unavailable, 5);
        auto e = thrown<APIError>([&] { separate(); });
        QVERIFY(e);
        QCOMPARE(e->kind(), APIError::Case::server);
        QCOMPARE(e->status(), 503);

        // A server too busy for a poll is left alone as long as its Retry-After asks, in seconds or
        // as a date 3 s ahead in any of HTTP's forms, then asked again; not at all for a date whose
        // two-digit year, 51 years ahead, is one of the past century.
        const std::pair<const char*, std::chrono::milliseconds> asks[] = {   // the format, the least wait
            {"", 1000ms},
            {"ddd, dd MMM yyyy hh:mm:ss 'GMT'", 2000ms},
            {"dddd, dd-MMM-yy hh:mm:ss 'GMT'", 2000ms},
            {"ddd MMM dd hh:mm:ss yyyy", 2000ms},
            {"dddd, dd-MMM-yy hh:mm:ss 'GMT'", 0ms},
        };
        for (const auto& [form, least] : asks) {
            init();
            std::vector<std::chrono::milliseconds> waits;
            engine->setWaitClock(WaitClock{[] { return std::chrono::steady_clock::now(); },
                                           [&](std::chrono::milliseconds duration, std::stop_token stop) {
                                               waits.push_back(duration);
                                               return sleepFor(duration, std::move(stop));
                                           }});
            const QString format = QString::fromLatin1(form);
            proxy->reshape("GET", "/v1/jobs/[^/]+", [format, ahead = least > 0ms ? 0 : 51](int& status, std::string& body,
                                                                                          httplib::Headers& headers) {
                status = 429;
                body = R"({"error":{"code":"rate_limited"}})";
                const QString at = QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(3).addYears(ahead), format);
                headers.emplace("Retry-After", format.isEmpty() ? "1" : at.toStdString());
            });
            QCOMPARE(separate().job.status, JobStatus::succeeded);
            const auto most = format.isEmpty() ? least : least + 1s;
            const auto asked = [](auto w) { return w >= 500ms; };
            QVERIFY2(std::ranges::count_if(waits, asked) == (least > 0ms), form);
            QVERIFY2(std::ranges::all_of(waits, [&](auto w) { return !asked(w) || (w >= least && w <= most); }), form);
        }
    }

    void retryDownloadsOnlyWhatIsMissing()
    {
        proxy->replace("GET", "/stems/.*/effects.flac", Answer::htmlPage);
        QVERIFY(thrown<SeparationError>([&] { separate(); }));
        const std::optional<QString> jobID = engine->interruptedJob(soundtrack);
        QVERIFY(jobID);
        QCOMPARE(proxy->received("POST", "/v1/jobs"), 1);

        reports.clear();
        const SeparatedStems stems = separate();
        QCOMPARE(stems.job.id, *jobID);
        // No new job, no new upload; the stems that had arrived are not fetched again.
        QCOMPARE(proxy->received("POST", "/v1/jobs"), 1);
        QCOMPARE(proxy->received("PUT", ".*"), 1);
        QCOMPARE(proxy->received("GET", "/stems/.*/dialogue.flac"), 1);
        QCOMPARE(proxy->received("GET", "/stems/.*/music.flac"), 1);
        QCOMPARE(proxy->received("GET", "/stems/.*/effects.flac"), 2);
        for (const QUrl& stem : {stems.dialogueURL, stems.musicURL, stems.effectsURL})
            QVERIFY(std::abs(hf::test::probeDuration(stem.toLocalFile()) - duration) < 0.5);
        QCOMPARE(reports.back().currentStatusMessage, QStringLiteral("Downloading effects (100%)"));
        QVERIFY(!engine->interruptedJob(soundtrack));
    }

    // A poll answered about another job, in a state this client does not know, or refused for a
    // session that ended (which the client replaces with a new account, as the account state
    // does): the clean fails with that fault's own message, keeps no stem, and gives its own job
    // up on the backend, in the session that owns it.
    void answerAboutAnotherJobIsNotKept()
    {
        const std::tuple<int, const char*, const char*, APIError::Case> rewrites[] = {
            {200, "\"id\"\\s*:\\s*\"[^\"]*\"", "\"id\":\"job_other\"", APIError::Case::otherJob},
            {200, "\"kind\"\\s*:\\s*\"full\"", "\"kind\":\"preview\"", APIError::Case::otherJob},
            {200, "\"status\"\\s*:\\s*\"[a-z_]+\"", "\"status\":\"paused\"", APIError::Case::decoding},
            {401, "^.*$", "{\"error\":{\"code\":\"unauthorized\"}}", APIError::Case::sessionEnded},
        };
        const std::optional<QString> session = local->tokens.token();
        api->silentReauthenticator = [client = api.get()]() -> QCoro::Task<bool> {
            const std::optional<APIUser> user = co_await client->signInAnonymously();
            Q_UNUSED(user);
            co_return true;
        };
        for (const auto& [status, from, to, expected] : rewrites) {
            init();
            rewriteNextJobRecord(status, from, to);
            auto e = thrown<APIError>([&] { separate(); });
            QVERIFY2(e && e->kind() == expected, to);
            QCOMPARE(filesUnder(jobsFolder()), QStringList());
            QVERIFY(!engine->interruptedJob(soundtrack));
            local->tokens.save(*session);
            const QString id = startedJobID();
            QVERIFY(QTest::qWaitFor([&] { return runTask(api->job(id)).status == JobStatus::canceled; }, 5000));
        }
        api->silentReauthenticator = {};
    }

    // Polls never answered, or answered a byte at a time, end the clean at the limit of time
    // without an answer (before as many failed polls could), saying the server is not answering;
    // the job is kept and the next clean resumes it.
    void silentServerIsGivenUpOnInTimeAndResumed()
    {
        for (const Answer answer : {Answer::silent, Answer::trickle}) {
            init();
            engine->setServerSilenceLimits(400ms, 1500ms);
            proxy->replace("GET", "/v1/jobs/[^/]+", answer, 1000);
            QElapsedTimer clock;
            clock.start();
            auto e = thrown<APIError>([&] { separate(); });
            QVERIFY(e && e->kind() == APIError::Case::network);
            QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(proxy->replaced() < CloudSeparationEngine::maxConsecutivePollFailures);
            QCOMPARE(lastStatus(), QStringLiteral("The separation server isn't answering. Still trying…"));
            const std::optional<QString> kept = engine->interruptedJob(soundtrack);
            QVERIFY(kept);

            proxy->clear();
            local->apiSession->clearConnectionCache();
            const SeparatedStems stems = separate();
            QCOMPARE(stems.job.id, *kept);
            QCOMPARE(proxy->received("POST", "/v1/jobs"), 0);
            QCOMPARE(proxy->received("PUT", ".*"), 0);
            QVERIFY(stemMatchesJob(stems.dialogueURL));
        }
    }

    // One broken answer: a cut-off creation fails with the network's message, an empty success
    // to the start with the server's fault (never an update prompt); a cut-off, silent, empty or
    // self-contradicting poll is one failed poll among others, even after a minute and a half
    // the process did not run (frozen), which is no silence of the server. A stem that arrives
    // steadily for longer than the servers may stay out of reach is not cut.
    void oneBrokenAnswer()
    {
        const struct {
            const char* method;
            const char* path;
            Answer answer;
            bool survived;
            const char16_t* message = u"Hushframe couldn't reach its servers.";
            bool frozen = false;
            bool pastTheBound = false;
        } cases[] = {
            {"GET", "/v1/jobs/[^/]+", Answer::cutShort, true, nullptr, true},
            {"POST", "/v1/jobs", Answer::cutShort, false},
            {"POST", "/v1/jobs/[^/]+/start", Answer::emptySuccess, false,
             u"Hushframe's servers ran into a problem."},
            {"GET", "/v1/jobs/[^/]+", Answer::cutShort, true},
            {"GET", "/v1/jobs/[^/]+", Answer::silent, true},
            {"GET", "/v1/jobs/[^/]+", Answer::emptySuccess, true},
            {"GET", "/v1/jobs/[^/]+", Answer::repeatedKeys, true},
            {"GET", "/stems/.*/music.flac", Answer::steady, true, nullptr, false, true},
        };
        for (const auto& c : cases) {
            init();
            engine->setServerSilenceLimits(400ms, 5s);
            proxy->replace(c.method, c.path, c.answer);
            if (c.frozen)
                engine->setWaitClock(skewedClock([](int wait) { return wait == 0 ? 90s : 0s; }));
            if (c.pastTheBound)
                engine->setOutageLimit(1s);
            if (c.survived) {
                QVERIFY(stemMatchesJob(separate().dialogueURL));
            } else {
                auto e = thrown<APIError>([&] { separate(); });
                QVERIFY(e && e->localizedDescription().startsWith(QString::fromUtf16(c.message)));
            }
            QCOMPARE(proxy->replaced(), 1);
        }
    }

    // A step that gets no usable answer (a silent, trickled, refused or cut poll, a trickled
    // creation or stem, one stalled or cut after many bytes) ends for good within the bound and
    // one request's limit after the first useless answer, the tries after it included, saying
    // meanwhile and at the end what happened.
    // With the clock standing at the bound, the first failure is the last.
    void stepsWithoutAnswersEndForGood()
    {
        // A request's limit that a busy machine keeps for the answers that pass through untouched.
        constexpr std::chrono::milliseconds request = 1s, silence = 1500ms, outage = 3s;
        const struct {
            const char* route;
            Answer answer;
            const char16_t* meanwhile;
            const char16_t* final = u"Hushframe couldn't reach its servers.";
            bool atTheBound = false;
        } faults[] = {
            {"GET /v1/jobs/[^/]+", Answer::silent, u"The separation server isn't answering. Still trying…"},
            {"GET /v1/jobs/[^/]+", Answer::trickle, u"The separation server isn't answering. Still trying…"},
            {"GET /v1/jobs/[^/]+", Answer::rateLimited, u"The separation server is busy. Waiting as it asked…",
             u"Hushframe's servers are busy right now."},
            {"GET /v1/jobs/[^/]+", Answer::cutShort, u"The separation server sent a broken answer. Still trying…",
             u"Hushframe's servers ran into a problem."},
            {"POST /v1/jobs", Answer::trickle, u"The separation server is slow to answer. Still waiting…"},
            {"POST /v1/jobs", Answer::trickle, u"The separation server is slow to answer. Still waiting…",
             u"Hushframe couldn't reach its servers.", true},
            {"GET /stems/.*/music.flac", Answer::trickle, u"Downloading music (0%)"},
            {"GET /stems/.*/music.flac", Answer::stallHalfway, u"Downloading music (50%)"},
            {"GET /stems/.*/music.flac", Answer::cutAfterThird, u"Downloading music (33%)", u"Hushframe's servers ran into a problem."},
        };
        for (const auto& f : faults) {
            init();
            engine->setServerSilenceLimits(request, silence);
            engine->setDownloadMinimumRate(1000, 10s);   // a slow stem is given up on only after the bound
            engine->setOutageLimit(f.atTheBound ? 0ms : outage);
            if (f.atTheBound) {
                const auto now = std::chrono::steady_clock::now();
                engine->setWaitClock(WaitClock{[now] { return now; }, WaitClock::system().sleep});
            }
            const QStringList parts = QString::fromLatin1(f.route).split(u' ');
            proxy->replace(parts[0].toStdString(), parts[1].toStdString(), f.answer, 1000);
            int tries = 0;
            std::optional<QString> final;
            const auto bound = std::make_shared<OutageBound>();
            while (!final && tries < 40) {
                ++tries;
                try {
                    separate(bound);
                } catch (const OutageTooLong& e) {
                    final = e.localizedDescription();
                } catch (const std::exception& e) {
                    QVERIFY2(isOutage(e), qPrintable(describe(e)));
                    QTest::qWait(int(bound->pauseWithin(200ms, std::chrono::steady_clock::now()).count()));
                }
            }
            // Counted in the time this process was given: a busy machine's delays are not the engine's.
            const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(given() - *proxy->firstReplacedAt());
            QVERIFY2(final && final->startsWith(QString::fromUtf16(f.final)),
                     qPrintable(f.route + QStringLiteral(": ended saying ") + final.value_or(QStringLiteral("nothing"))));
            QVERIFY2(late < outage + request + silence,
                     qPrintable(f.route + QStringLiteral(": ended %1 ms after the first useless answer").arg(late.count())));
            QVERIFY2(!f.atTheBound || tries == 1, f.route);
            QCOMPARE(lastStatus(), QString::fromUtf16(f.meanwhile));
            QVERIFY(!engine->interruptedJob(soundtrack));
        }
    }

    // A stem arriving steadily a little above the least rate is served past the bound, one well
    // below it cut there saying so, by the judge past the bound and by the rate rule of the whole
    // download (allowed to fall 1 s behind) alike. The least rate is set from the stem's size so
    // that the download takes seconds, most of them past the bound. The job's own requests have
    // all the time a busy machine needs; the stems' judge is given its one second as they begin.
    void stemNearTheLeastRateIsJudgedOnAverage()
    {
        const qint64 least = QFileInfo(separate().musicURL.toLocalFile()).size() / 5;
        const std::tuple<double, std::chrono::milliseconds, bool> cases[] = {   // share of it, allowance, served
            {1.05, 1s, true}, {1.05, 30s, true}, {3000.0 / 4096, 30s, false}, {3000.0 / 4096, 1s, false}};
        for (const auto& [share, behind, served] : cases) {
            init();
            engine->setServerSilenceLimits(15s, 60s);
            engine->setOutageLimit(300ms);
            engine->setDownloadMinimumRate(least, behind);
            proxy->pacedBytesPerSecond = qint64(double(least) * share);
            proxy->replace("GET", "/stems/.*/music.flac", Answer::paced);
            const auto downloads = [this](const ProcessingProgress& p) {
                if (p.stage.kind() == ProcessingStage::Kind::downloading)
                    engine->setServerSilenceLimits(1s, 5s);
            };
            const auto e = thrown<OutageTooLong>([&] {
                const SeparatedStems stems = runTask(engine->separate(soundtrack, duration, JobKind::full, false, downloads), 60000);
                QVERIFY(stemMatchesJob(stems.musicURL));
            });
            QVERIFY2(served != e.has_value(), qPrintable(QStringLiteral("%1, %2 ms").arg(share).arg(behind.count())));
            QVERIFY(served || e->localizedDescription().startsWith(u"The download from Hushframe's servers was too slow"));
        }
    }

    // A job left waiting in the queue for a minute says how long it has waited.
    void longQueueSaysHowLong()
    {
        engine->setWaitClock(skewedClock([](int) { return 20s; }));
        proxy->rewrite("GET", "/v1/jobs/[^/]+", [](int& status, std::string& body) {
            status = 200;
            body = std::regex_replace(body, std::regex(R"(,?"progress"\s*:\s*[0-9.eE+-]+)"), "");
            body = std::regex_replace(body, std::regex(R"("status"\s*:\s*"[a-z_]+")"), R"("status":"queued")");
        }, 5);
        QVERIFY(stemMatchesJob(separate().dialogueURL));
        auto said = [&](const char16_t* message) {
            return std::ranges::find(reports, QString::fromUtf16(message), &ProcessingProgress::currentStatusMessage);
        };
        QVERIFY(said(u"Waiting for a separation server") < said(u"Waiting for a separation server (1 min so far)"));
        QVERIFY(said(u"Waiting for a separation server (1 min so far)") != reports.end());
    }

    // The backend separates the job again from the start: bar and text go back together, and the
    // text says why for the rest of the separation.
    void separationStartedOverSaysSo()
    {
        const double told[] = {0.4, 0.1, 0.2};
        int polled = 0;
        proxy->rewrite("GET", "/v1/jobs/[^/]+", [&](int& status, std::string& body) {
            status = 200;
            body = std::regex_replace(body, std::regex(R"(,?"progress"\s*:\s*[0-9.eE+-]+)"), "");
            body = std::regex_replace(body, std::regex(R"("status"\s*:\s*"[a-z_]+")"),
                                      R"("status":"processing","progress":)" + std::to_string(told[polled++]));
        }, 3);
        QVERIFY(stemMatchesJob(separate().dialogueURL));
        // Reports from the start's own answer may come first; the rewritten polls follow in turn.
        const auto first = std::ranges::find_if(reports, [&](const ProcessingProgress& p) {
            return p.currentStatusMessage == QStringLiteral("Separating (%1)").arg(percentText(told[0]));
        });
        QVERIFY(reports.end() - first >= 3);
        for (int i = 0; i < 3; ++i) {
            const QString text = i == 0 ? QStringLiteral("Separating (%1)") : QStringLiteral("Separating again from the start (%1)");
            QCOMPARE(first[i].currentStatusMessage, text.arg(percentText(told[i])));
            QVERIFY(std::abs(first[i].fractionCompleted - (0.35 + 0.55 * told[i])) < 1e-9);
        }
    }

    // A kept job that can no longer give its stems is not resumed: the next clean makes a new
    // job and uploads again.
    void keptJobThatCannotGiveItsStemsIsReplaced()
    {
        const QString succeeded = QStringLiteral("\"status\"\\s*:\\s*\"succeeded\"");
        const struct {
            int status;
            QString from, to;   // a pattern of the job record, and what replaces it
        } cases[] = {
            {404, "^.*$", "{\"error\":{\"code\":\"not_found\",\"message\":\"No such job.\"}}"},   // gone
            {200, succeeded, "\"status\":\"expired\""},
            {200, "\"expiresAt\"\\s*:\\s*\"[^\"]*\"", "\"expiresAt\":\"2001-01-01T00:00:00Z\""},
            {200, succeeded, "\"status\":\"failed\""},
        };
        for (const auto& c : cases) {
            init();
            proxy->replace("GET", "/stems/.*/effects.flac", Answer::htmlPage);
            QVERIFY(thrown<SeparationError>([&] { separate(); }));
            const std::optional<QString> kept = engine->interruptedJob(soundtrack);
            QVERIFY(kept);
            rewriteNextJobRecord(c.status, c.from, c.to);
            const SeparatedStems stems = separate();
            QVERIFY2(stems.job.id != *kept, qPrintable(c.to));
            QCOMPARE(proxy->received("PUT", ".*"), 2);
            QVERIFY(stemMatchesJob(stems.effectsURL));
        }
    }

    // A fresh job's download takes nothing that was already in its folder.
    void freshDownloadReplacesWhatItsFolderHeld()
    {
        const QString planted = dir.filePath(QStringLiteral("planted.flac"));
        QVERIFY(hf::test::makeTone(planted, duration, 44100, *soundtrackChannels(soundtrack.toLocalFile()),
                                   QStringLiteral("0.2"), {"-c:a", "flac"}));
        bool placed = false;
        const SeparatedStems stems = runTask(
            engine->separate(soundtrack, duration, JobKind::full, false,
                             [&](const ProcessingProgress& p) {
                                 const QString id = startedJobID();
                                 if (placed || id.isEmpty() || p.stage.kind() == ProcessingStage::Kind::uploading)
                                     return;
                                 QDir().mkpath(jobsFolder() + u'/' + id);
                                 placed = QFile::copy(planted, jobsFolder() + u'/' + id + QStringLiteral("/dialogue.flac"));
                             }),
            60000);
        QVERIFY(placed);
        QVERIFY(bytesOf(stems.dialogueURL.toLocalFile()) != bytesOf(planted));
    }

    void cleanupTestCase()
    {
        engine.reset();
        api.reset();
        proxy.reset();
        local.reset();
    }
};

QTEST_GUILESS_MAIN(TestCloudFaults)
#include "test_cloud_faults.moc"
