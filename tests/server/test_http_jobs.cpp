// The job road over loopback: create, upload, start, poll, download; promotion, cancellation,
// expiry, refusals of bad input, and a restart on the same data folder.

#include "test_http_support.h"

#include "http/database.h"
#include "http/util.h"

#include <QDir>

#include <set>
#include <thread>
#include <QtTest>

using namespace hf::test::http;
using hf::test::waitUntil;

class HttpJobsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_fixtures;
    QString m_tone4;
    QString m_tone1;

    QTemporaryDir m_data;
    std::unique_ptr<LocalServer> m_server;

private slots:
    void initTestCase()
    {
        if (!hf::test::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is needed to make the audio fixtures");
        m_tone4 = m_fixtures.filePath("tone4.m4a");
        m_tone1 = m_fixtures.filePath("tone1.m4a");
        QVERIFY(makeAudio(m_tone4, "sine=frequency=440:duration=4", {"-ac", "2", "-c:a", "aac"}));
        QVERIFY(makeAudio(m_tone1, "sine=frequency=330:duration=1", {"-c:a", "aac"}));
        auto options = optionsIn(m_data);
        options.workers = 2;
        m_server = std::make_unique<LocalServer>(options);
    }

    void cleanupTestCase() { m_server.reset(); }

    void jobRunsToThreeStems()
    {
        httplib::Client client(m_server->url());
        std::string token = signInAnonymously(client);
        QVERIFY(!token.empty());

        auto created = postJson(client, "/v1/jobs", token,
                                {{"kind", "full"}, {"durationSeconds", 4.0}, {"contentType", "audio/mp4"}});
        QCOMPARE(created->status, 201);
        auto answer = json(created);
        auto job = answer.value("job").toObject();
        QCOMPARE(job.value("status").toString(), QString("awaiting_upload"));
        QCOMPARE(job.value("kind").toString(), QString("full"));
        QVERIFY(!job.contains("claimCheck"));
        auto upload = answer.value("upload").toObject();
        QCOMPARE(upload.value("method").toString(), QString("PUT"));
        QCOMPARE(upload.value("headers").toObject().value("Content-Type").toString(), QString("audio/mp4"));

        // The storage target takes the file as the instruction says, without a session.
        std::string id = job.value("id").toString().toStdString();
        auto put = client.Put(pathOf(upload.value("url").toString()), {}, readFile(m_tone4), "audio/mp4");
        QCOMPARE(put->status, 200);
        auto started = postJson(client, "/v1/jobs/" + id + "/start", token);
        QCOMPARE(started->status, 200);
        QVERIFY(QStringList({"queued", "processing"}).contains(json(started)["job"][u"status"].toString()));
        QCOMPARE(postJson(client, "/v1/jobs/" + id + "/start", token)->status, 409);

        bool progressInRange = true;
        auto done = waitForJob(client, token, id, [&](const QJsonObject& j) {
            if (hasStatus(j, "processing")) {
                double p = j.value("progress").toDouble(-1);
                progressInRange = progressInRange && p >= 0 && p <= 1;
            }
            return !QStringList({"queued", "processing"}).contains(j.value("status").toString());
        });
        QVERIFY(progressInRange);
        QCOMPARE(done.value("status").toString(), QString("succeeded"));
        QVERIFY(done.contains("completedAt") && done.contains("expiresAt"));

        // Stems download without a session, as FLAC of the uploaded length.
        auto outputs = done.value("outputs").toObject();
        for (const char* stem : {"dialogue", "music", "effects"}) {
            httplib::Client plain(m_server->url());
            auto r = plain.Get(pathOf(outputs.value(stem).toString()));
            QVERIFY2(r && r->status == 200, stem);
            QCOMPARE(r->get_header_value("Content-Type"), std::string("audio/flac"));
            QCOMPARE(r->body.substr(0, 4), std::string("fLaC"));
        }
        QCOMPARE(client.Get(pathOf(outputs.value("music").toString()) + "x")->status, 403);

        // Another account sees none of it.
        httplib::Client other(m_server->url());
        std::string stranger = signInAnonymously(other);
        QCOMPARE(other.Get("/v1/jobs/" + id, bearer(stranger))->status, 404);
        QCOMPARE(postJson(other, "/v1/jobs/" + id + "/cancel", stranger)->status, 404);
        QCOMPARE(errorCode(other.Get("/v1/jobs/" + id, bearer(stranger))), QString("not_found"));
        // A finished job cannot be canceled.
        QCOMPARE(postJson(client, "/v1/jobs/" + id + "/cancel", token)->status, 409);
    }

    void promotionNeedsCoveringAudio()
    {
        httplib::Client client(m_server->url());
        std::string token = signInAnonymously(client);
        std::string id = runJob(client, token, m_tone4, 4, "preview");
        QVERIFY(!id.empty());
        QVERIFY(hasStatus(waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "succeeded"); }), "succeeded"));

        auto refused = postJson(client, "/v1/jobs/" + id + "/promote", token, {{"durationSeconds", 10.0}});
        QCOMPARE(refused->status, 409);
        QCOMPARE(errorCode(refused), QString("conflict"));
        QCOMPARE(json(client.Get("/v1/jobs/" + id, bearer(token)))["job"][u"kind"].toString(), QString("preview"));

        auto promoted = postJson(client, "/v1/jobs/" + id + "/promote", token,
                                 {{"durationSeconds", 4.0}, {"claimCheck", true}});
        QCOMPARE(promoted->status, 200);
        auto job = json(promoted).value("job").toObject();
        QCOMPARE(job.value("id").toString().toStdString(), id);
        QCOMPARE(job.value("kind").toString(), QString("full"));
        QCOMPARE(job.value("status").toString(), QString("succeeded"));
        QVERIFY(job.contains("outputs"));
        // Without a catalogue the check reports that nothing was checked.
        auto checked = waitForJob(client, token, id,
                                  [](auto& j) { return j["claimCheck"][u"status"].toString() != "checking"; });
        QCOMPARE(checked["claimCheck"][u"status"].toString(), QString("not_checked"));
        QCOMPARE(postJson(client, "/v1/jobs/" + id + "/promote", token, {{"durationSeconds", 4.0}})->status, 409);
    }

    void cancelAndStartRules()
    {
        httplib::Client client(m_server->url());
        std::string token = signInAnonymously(client);
        QJsonObject body{{"kind", "full"}, {"durationSeconds", 1.0}, {"contentType", "audio/mp4"}};

        // Started with nothing uploaded: the job fails as missing its input.
        auto bare = json(postJson(client, "/v1/jobs", token, body));
        std::string bareId = bare["job"][u"id"].toString().toStdString();
        auto failed = json(postJson(client, "/v1/jobs/" + bareId + "/start", token))["job"].toObject();
        QCOMPARE(failed["status"].toString(), QString("failed"));
        QCOMPARE(failed["error"][u"code"].toString(), QString("input_missing"));

        // Canceled after its upload: stays canceled, answers a repeated cancel, refuses the rest.
        auto answer = json(postJson(client, "/v1/jobs", token, body));
        std::string id = answer["job"][u"id"].toString().toStdString();
        std::string uploadPath = pathOf(answer["upload"][u"url"].toString());
        QCOMPARE(client.Put(uploadPath, {}, readFile(m_tone1), "audio/mp4")->status, 200);
        auto canceled = postJson(client, "/v1/jobs/" + id + "/cancel", token);
        QCOMPARE(json(canceled)["job"][u"status"].toString(), QString("canceled"));
        QCOMPARE(json(postJson(client, "/v1/jobs/" + id + "/cancel", token))["job"][u"status"].toString(),
                 QString("canceled"));
        QCOMPARE(postJson(client, "/v1/jobs/" + id + "/start", token)->status, 409);
        QCOMPARE(client.Put(uploadPath, {}, readFile(m_tone1), "audio/mp4")->status, 409);
        QVERIFY(!QDir(m_data.filePath("jobs/" + QString::fromStdString(id))).exists());
    }

    void badInputChangesNothing()
    {
        httplib::Client client(m_server->url());
        std::string token = signInAnonymously(client);

        auto malformed = client.Post("/v1/jobs", bearer(token), "{\"kind\": ", "application/json");
        QCOMPARE(malformed->status, 400);
        QCOMPARE(errorCode(malformed), QString("invalid_request"));
        QCOMPARE(postJson(client, "/v1/jobs", token, {{"kind", "huge"}, {"durationSeconds", 4.0}, {"contentType", "audio/mp4"}})->status, 400);
        QCOMPARE(postJson(client, "/v1/jobs", token, {{"kind", "full"}, {"durationSeconds", 10800.5}, {"contentType", "audio/mp4"}})->status, 400);
        QCOMPARE(postJson(client, "/v1/jobs", token, {{"kind", "full"}, {"durationSeconds", "4"}, {"contentType", "audio/mp4"}})->status, 400);
        auto anonymous = client.Post("/v1/jobs", "{}", "application/json");
        QCOMPARE(anonymous->status, 401);
        QCOMPARE(errorCode(anonymous), QString("unauthorized"));
        QCOMPARE(client.Get("/v1/jobs/bad$id", bearer(token))->status, 404);
        QCOMPARE(client.Get("/v1/jobs/" + std::string(129, 'a'), bearer(token))->status, 404);
        QCOMPARE(client.Get("/v1/jobs", bearer(token))->status, 404);

        auto answer = json(postJson(client, "/v1/jobs", token,
                                    {{"kind", "full"}, {"durationSeconds", 1.0}, {"contentType", "audio/mp4"}}));
        std::string id = answer["job"][u"id"].toString().toStdString();
        std::string uploadPath = pathOf(answer["upload"][u"url"].toString());
        std::string wrongKey = uploadPath.substr(0, uploadPath.find("key=") + 4) + "nope";
        QCOMPARE(client.Put(wrongKey, {}, readFile(m_tone1), "audio/mp4")->status, 403);
        QCOMPARE(client.Put(uploadPath, {}, readFile(m_tone1), "audio/wav")->status, 400);
        QCOMPARE(client.Put(uploadPath, {}, std::string(), "audio/mp4")->status, 400);

        // Larger than a 1-second job's audio can be: refused before the body is read.
        std::string head = "PUT " + uploadPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: audio/mp4\r\n";
        QCOMPARE(rawExchange(m_server->port(), head + "Content-Length: 1000000000000\r\n\r\n", "", false),
                 std::string("HTTP/1.1 413 Payload Too Large"));
        // Cut off half-way: refused, and nothing was kept.
        QCOMPARE(rawExchange(m_server->port(), head + "Content-Length: 100000\r\n\r\n", std::string(1000, 'x'), true),
                 std::string("HTTP/1.1 400 Bad Request"));
        auto started = json(postJson(client, "/v1/jobs/" + id + "/start", token))["job"].toObject();
        QCOMPARE(started["error"][u"code"].toString(), QString("input_missing"));
    }

    void declaredDurationBoundsTheJob()
    {
        httplib::Client client(m_server->url());
        std::string token = signInAnonymously(client);
        // The longest job there is: exactly three hours.
        auto longest = postJson(client, "/v1/jobs", token,
                                {{"kind", "full"}, {"durationSeconds", 10800.0}, {"contentType", "audio/mp4"}});
        QCOMPARE(longest->status, 201);
        QCOMPARE(json(longest)["job"][u"durationSeconds"].toDouble(), 10800.0);

        // Four seconds of audio uploaded for a job declared as one.
        std::string id = runJob(client, token, m_tone4, 1);
        QVERIFY(!id.empty());
        auto ended = waitForJob(client, token, id, [](auto& j) { return !hasStatus(j, "queued") && !hasStatus(j, "processing"); });
        QCOMPARE(ended["status"].toString(), QString("failed"));
        QCOMPARE(ended["error"][u"code"].toString(), QString("too_long"));
        QVERIFY(!ended.contains("outputs"));
    }

    void concurrentClientsGetDistinctJobs()
    {
        // Several clients at once, each on its own connection, creating and reading jobs.
        std::vector<std::string> ids[8];
        std::vector<std::thread> threads;
        for (auto& mine : ids)
            threads.emplace_back([&, url = m_server->url()] {
                httplib::Client client(url);
                std::string token = signInAnonymously(client);
                for (int i = 0; i < 10; ++i) {
                    auto created = postJson(client, "/v1/jobs", token,
                                            {{"kind", "preview"}, {"durationSeconds", 2.0}, {"contentType", "audio/mp4"}});
                    std::string id = json(created)["job"].toObject()["id"].toString().toStdString();
                    if (created && created->status == 201 && client.Get("/v1/jobs/" + id, bearer(token))->status == 200)
                        mine.push_back(id);
                }
            });
        for (auto& thread : threads)
            thread.join();
        std::set<std::string> distinct;
        for (const auto& mine : ids) {
            QCOMPARE(mine.size(), size_t(10));
            distinct.insert(mine.begin(), mine.end());
        }
        QCOMPARE(distinct.size(), size_t(80));
    }

    // A job expires with its files: a finished one after its lifetime, one that was never started
    // (its creation answer or its upload lost on the way) after the wait for its upload; but an
    // upload still under way keeps its job, however long it takes. The finished job's lifetime,
    // counted from its end, is read from the server's records and then moved into the past, so
    // a slow separation cannot use it up before the job ends.
    void jobsExpireWithTheirFiles_data()
    {
        QTest::addColumn<QString>("reached"); // how far the client took the job
        QTest::newRow("succeeded, past its lifetime") << "succeeded";
        QTest::newRow("created, never uploaded") << "created";
        QTest::newRow("uploaded, never started") << "uploaded";
        QTest::newRow("an upload under way past the wait") << "uploading";
    }

    void jobsExpireWithTheirFiles()
    {
        QFETCH(QString, reached);
        QTemporaryDir data;
        auto options = optionsIn(data);
        options.jobTtlSeconds = 60;
        options.uploadWaitSeconds = reached == "succeeded" ? 3600 : 2;
        LocalServer server(options);
        httplib::Client client(server.url());
        std::string token = signInAnonymously(client);
        auto create = [&] {
            return json(postJson(client, "/v1/jobs", token,
                                 {{"kind", "full"}, {"durationSeconds", 1.0}, {"contentType", "audio/mp4"}}));
        };
        auto expires = [&](const std::string& id) {
            return hasStatus(waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "expired"); }, 15000),
                             "expired");
        };
        std::string id, stem;
        if (reached == "succeeded") {
            id = runJob(client, token, m_tone1, 1);
            auto done = waitForJob(client, token, id, [](auto& j) { return !hasStatus(j, "queued") && !hasStatus(j, "processing"); });
            QCOMPARE(done["status"].toString(), QString("succeeded"));
            stem = pathOf(done["outputs"][u"dialogue"].toString());
            QCOMPARE(client.Get(stem)->status, 200);
            hf::server::Database records(std::filesystem::path(data.path().toStdString()) / "server.sqlite");
            auto times = records.queryOne("SELECT completed_at, expires_at FROM jobs WHERE id = ?", {id});
            QVERIFY(times);
            QCOMPARE(hf::server::dbNumber((*times)[1]) - hf::server::dbNumber((*times)[0]), options.jobTtlSeconds);
            records.exec("UPDATE jobs SET expires_at = ? WHERE id = ?", {hf::server::nowSeconds() - 1, id});
        } else {
            auto answer = create();
            id = answer["job"][u"id"].toString().toStdString();
            const std::string upload = pathOf(answer["upload"][u"url"].toString());
            if (reached == "uploaded")
                QCOMPARE(client.Put(upload, {}, readFile(m_tone1), "audio/mp4")->status, 200);
            if (reached == "uploading") {
                // Half of it, then the rest once a job created with it has been expired.
                const std::string audio = readFile(m_tone1);
                const std::string other = create()["job"][u"id"].toString().toStdString();
                RawConnection slow(server.port());
                slow.send(head("PUT " + upload, "Content-Type: audio/mp4\r\nContent-Length: " + std::to_string(audio.size()) + "\r\n")
                          + audio.substr(0, audio.size() / 2));
                QVERIFY(expires(other));
                slow.send(audio.substr(audio.size() / 2));
                QVERIFY(slow.waitForAnswer(10000));
                QCOMPARE(slow.statusLine(), std::string("HTTP/1.1 200 OK"));
                QCOMPARE(postJson(client, "/v1/jobs/" + id + "/start", token)->status, 200);
                auto done = waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "succeeded"); });
                QVERIFY(hasStatus(done, "succeeded"));
                return;
            }
        }
        QVERIFY(expires(id));
        QVERIFY(!json(client.Get("/v1/jobs/" + id, bearer(token)))["job"].toObject().contains("outputs"));
        if (!stem.empty())
            QCOMPARE(client.Get(stem)->status, 404);
        QVERIFY(!QDir(data.filePath("jobs/" + QString::fromStdString(id))).exists());
    }

    void restartKeepsSessionsAndJobs()
    {
        QTemporaryDir data;
        LocalServer server(optionsIn(data));
        std::string token, waiting, interrupted;
        {
            httplib::Client client(server.url());
            token = signInAnonymously(client);
            auto answer = json(postJson(client, "/v1/jobs", token,
                                        {{"kind", "full"}, {"durationSeconds", 4.0}, {"contentType", "audio/mp4"}}));
            waiting = answer["job"][u"id"].toString().toStdString();
            QCOMPARE(client.Put(pathOf(answer["upload"][u"url"].toString()), {}, readFile(m_tone4), "audio/mp4")->status,
                     200);
            interrupted = runJob(client, token, m_tone4, 4);
            QVERIFY(!interrupted.empty());
        }
        server.stop(); // most likely while the second job is queued or separating
        server.start();

        httplib::Client client(server.url());
        QCOMPARE(client.Get("/api/auth/get-session", bearer(token))->status, 200);
        QCOMPARE(json(client.Get("/v1/jobs/" + waiting, bearer(token)))["job"][u"status"].toString(),
                 QString("awaiting_upload"));
        QCOMPARE(postJson(client, "/v1/jobs/" + waiting + "/start", token)->status, 200);
        for (const auto& id : {waiting, interrupted}) {
            auto done = waitForJob(client, token, id, [](auto& j) { return hasStatus(j, "succeeded"); });
            QVERIFY2(hasStatus(done, "succeeded"), id.c_str());
        }
    }
};

QTEST_GUILESS_MAIN(HttpJobsTest)
#include "test_http_jobs.moc"
