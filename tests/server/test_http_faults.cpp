// Fault injection, the feedback endpoint, the update feed and the song check, over loopback.

#include "test_http_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

using namespace hf::test::http;

namespace {

QJsonObject jobBody()
{
    return {{"kind", "full"}, {"durationSeconds", 3.0}, {"contentType", "audio/mp4"}};
}

// A little melody: notes of 0.2 s whose pitches step through a pattern set by `a` and `b`.
QString melody(int a, int b, double seconds)
{
    return QString("aevalsrc='0.4*sin(2*PI*t*220*pow(2,mod(floor(t*5)*%1,12)/12))"
                   "+0.25*sin(2*PI*t*330*pow(2,mod(floor(t*5)*%2,12)/12))':s=44100:d=%3")
        .arg(a)
        .arg(b)
        .arg(seconds);
}

} // namespace

class HttpFaultsTest : public QObject {
    Q_OBJECT

private slots:
    void faultKnobsShapeAnswers()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.testControls = true;
        LocalServer server(options);
        httplib::Client client(server.url());
        client.set_read_timeout(5);
        std::string token = signInAnonymously(client);
        auto addFault = [&](const QJsonObject& fault) { return postJson(client, "/_test/faults", "", fault); };

        QCOMPARE(addFault({{"path", "/v1/me"}})->status, 400);
        QCOMPARE(addFault({{"status", 503}})->status, 400);

        // A status, once: the next request is served normally.
        QCOMPARE(addFault({{"method", "POST"}, {"path", "/v1/jobs"}, {"status", 503}, {"times", 1}})->status, 200);
        auto failed = postJson(client, "/v1/jobs", token, jobBody());
        QCOMPARE(failed->status, 503);
        QCOMPARE(errorCode(failed), QString("unavailable"));
        QCOMPARE(postJson(client, "/v1/jobs", token, jobBody())->status, 201);

        // A pattern with a wildcard and a body of the test's own.
        addFault({{"path", "/v1/jobs/*/start"}, {"status", 409}, {"body", "{\"code\":\"conflict\"}"}, {"times", 2}});
        auto job = json(postJson(client, "/v1/jobs", token, jobBody()))["job"].toObject();
        std::string id = job["id"].toString().toStdString();
        auto conflict = postJson(client, "/v1/jobs/" + id + "/start", token);
        QCOMPARE(conflict->status, 409);
        QCOMPARE(conflict->body, std::string("{\"code\":\"conflict\"}"));
        QCOMPARE(client.Get("/v1/jobs/" + id, bearer(token))->status, 200);

        // A delay, then the real answer.
        addFault({{"path", "/v1/me"}, {"delayMs", 300}, {"times", 1}});
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(client.Get("/v1/me", bearer(token))->status, 200);
        QVERIFY(timer.elapsed() >= 300);

        // A dropped connection: no answer at all.
        addFault({{"path", "/v1/me"}, {"drop", true}, {"times", 1}});
        auto dropped = client.Get("/v1/me", bearer(token));
        QVERIFY(!dropped);
        QCOMPARE(client.Get("/v1/me", bearer(token))->status, 200);

        // A broken body after the real work: the job exists although its answer cannot be read.
        addFault({{"method", "POST"}, {"path", "/v1/jobs"}, {"malformed", true}, {"times", 1}});
        auto broken = postJson(client, "/v1/jobs", token, jobBody());
        QCOMPARE(broken->status, 201);
        QVERIFY(QJsonDocument::fromJson(QByteArray::fromStdString(broken->body)).isNull());
        auto me = json(client.Get("/v1/me", bearer(token)));
        QCOMPARE(me["usage"].toObject()["jobs"].toInt(), 3);

        // Every token rejected, even a new one, until the faults are cleared.
        QCOMPARE(addFault({{"rejectTokens", true}})->status, 200);
        QCOMPARE(client.Get("/api/auth/get-session", bearer(token))->status, 401);
        std::string fresh = signInAnonymously(client);
        QVERIFY(!fresh.empty());
        QCOMPARE(client.Get("/v1/me", bearer(fresh))->status, 401);
        QCOMPARE(json(client.Get("/_test/faults"))["faults"].toArray().size(), 1); // the start fault has one left
        QCOMPARE(client.Delete("/_test/faults")->status, 200);
        QCOMPARE(client.Get("/api/auth/get-session", bearer(token))->status, 200);
        QCOMPARE(postJson(client, "/v1/jobs/" + id + "/start", token)->status, 200);
    }

    void controlsNeedTheSwitch()
    {
        QTemporaryDir data;
        LocalServer server(optionsIn(data));
        httplib::Client client(server.url());
        QCOMPARE(postJson(client, "/_test/faults", "", {{"path", "/v1/me"}, {"status", 500}})->status, 404);
    }

    void feedbackAndUpdateFeed()
    {
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.feedbackToken = "kit-token";
        LocalServer server(options);
        httplib::Client client(server.url());
        const std::string valid = QJsonDocument(QJsonObject{{"app", "Hushframe"},
                                                            {"platform", "Linux 6.1.0"},
                                                            {"message", "The clean mix is great."},
                                                            {"category", "featureRequest"},
                                                            {"metadata", QJsonObject{{"rating", "5"}}},
                                                            {"timestamp", "2026-12-07T10:00:00Z"}})
                                      .toJson(QJsonDocument::Compact)
                                      .toStdString();

        QCOMPARE(client.Post("/feedback", valid, "application/json")->status, 401);
        httplib::Headers kit{{"X-Tellu-Token", "kit-token"}};
        QCOMPARE(client.Post("/feedback", kit, valid, "application/json")->status, 201);
        QDir folder(data.filePath("feedback"));
        auto stored = folder.entryList({"*.json"});
        QCOMPARE(stored.size(), 1);
        QCOMPARE(readFile(folder.filePath(stored.first())), valid);

        std::string badCategory = valid;
        badCategory.replace(badCategory.find("featureRequest"), 14, "praise");
        QCOMPARE(client.Post("/feedback", kit, badCategory, "application/json")->status, 400);
        QCOMPARE(client.Post("/feedback", kit, "{\"app\":", "application/json")->status, 400);
        QCOMPARE(client.Post("/feedback", kit, "{\"app\":\"Hushframe\",\"message\":\"x\"}", "application/json")->status,
                 400);
        QCOMPARE(folder.entryList({"*.json"}).size(), 1);

        auto feed = client.Get("/appcast.xml");
        QCOMPARE(feed->status, 200);
        QVERIFY(feed->get_header_value("Content-Type").rfind("application/rss+xml", 0) == 0);
        QVERIFY(feed->body.find("<rss") != std::string::npos);
    }

    void songCheckFindsACatalogueSong()
    {
        if (!hf::test::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is needed to make the audio fixtures");
        QTemporaryDir data;
        QTemporaryDir catalogue;
        QVERIFY(makeAudio(catalogue.filePath("Ann Example - Tune One.flac"), melody(5, 7, 12), {"-c:a", "flac"}));
        QVERIFY(makeAudio(catalogue.filePath("Bo Other - Tune Two.flac"), melody(3, 11, 12), {"-c:a", "flac"}));
        // The soundtrack plays eight seconds from the middle of the first tune.
        QString soundtrack = data.filePath("soundtrack.m4a");
        QVERIFY(makeAudio(soundtrack, melody(5, 7, 12), {"-ss", "2", "-t", "8", "-c:a", "aac", "-b:a", "192k"}));

        auto options = optionsIn(data);
        options.catalogueDir = catalogue.path().toStdString();
        LocalServer server(options);
        httplib::Client client(server.url());
        std::string token = signInAnonymously(client);
        std::string id = runJob(client, token, soundtrack, 8, "full", true);
        QVERIFY(!id.empty());
        auto job = waitForJob(client, token, id, [](const QJsonObject& j) {
            return !hasStatus(j, "queued") && !hasStatus(j, "processing")
                   && j["claimCheck"].toObject()["status"].toString() != "checking";
        }, 60000);
        QCOMPARE(job["status"].toString(), QString("succeeded"));
        auto check = job["claimCheck"].toObject();
        QCOMPARE(check["status"].toString(), QString("match"));
        auto songs = check["songs"].toArray();
        QCOMPARE(songs.size(), 1);
        auto song = songs.first().toObject();
        QCOMPARE(song["title"].toString(), QString("Tune One"));
        QCOMPARE(song["artist"].toString(), QString("Ann Example"));
        QVERIFY(!song["ranges"].toArray().isEmpty());
        QVERIFY(QStringList({"gone", "ambienceZero", "stillThere"}).contains(song["verdict"].toString()));
        QVERIFY(!check["matches"].toArray().isEmpty());
        QVERIFY(check.contains("clearWithoutAmbience"));
    }
};

QTEST_GUILESS_MAIN(HttpFaultsTest)
#include "test_http_faults.moc"
