#include "backend/account_records.h"
#include "backend/job_records.h"
#include "backend/song_check_records.h"

#include <QTest>
#include <QTimeZone>

#include <functional>
#include <map>

using namespace hf;

namespace {

// Decodes `body` as the named record and encodes the result again, so that one expected JSON text
// states everything the decode produced (records that are only decodable are encoded field by
// field here).
QJsonObject decodeThenEncode(const QString& record, const QByteArray& body)
{
    using json::decodeDocument;
    using json::encode;
    const std::map<QString, std::function<QJsonObject()>> records{
        {"job", [&] { return QJsonObject{{"job", encode(decodeDocument<JobEnvelope>(body).job)}}; }},
        {"create", [&] {
             const auto r = decodeDocument<CreateJobResponse>(body);
             return QJsonObject{{"job", encode(r.job)}, {"upload", encode(r.upload)}};
         }},
        {"check", [&] { return encode(decodeDocument<ClaimCheck>(body)).toObject(); }},
        {"user", [&] { return encode(decodeDocument<APIUser>(body)).toObject(); }},
        {"session", [&] {
             const auto r = decodeDocument<AuthSession>(body);
             QJsonObject out{{"user", encode(r.user)}};
             if (r.session) {
                 QJsonObject session;
                 if (r.session->expiresAt)
                     session.insert("expiresAt", encode(*r.session->expiresAt));
                 out.insert("session", session);
             }
             return out;
         }},
        {"signin", [&] {
             const auto r = decodeDocument<SocialSignInResponse>(body);
             QJsonObject out;
             if (r.token)
                 out.insert("token", *r.token);
             if (r.user)
                 out.insert("user", encode(*r.user));
             return out;
         }},
        {"me", [&] { return encode(decodeDocument<AccountUsage>(body)).toObject(); }},
    };
    return records.at(record)();
}

QJsonObject parse(const QByteArray& text)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad JSON in test: %s", text.constData());
    return doc.object();
}

QByteArray job(const QByteArray& fields) { return "{\"job\":{" + fields + "}}"; }
QByteArray create(const QByteArray& upload)
{
    return R"({"job":{"id":"j1","kind":"full","status":"awaiting_upload","durationSeconds":60},"upload":)"
        + upload + "}";
}

// URLs inside raw strings are written with "\/" (valid JSON for "/"): moc takes a double slash in
// a raw string for the start of a comment and then misses the test class.
#define BASE R"("id":"job_01","kind":"preview","status":"queued","durationSeconds":30)"

// A row that decodes and encodes back to `expected`.
void good(const char* name, const char* record, const QByteArray& input, const QByteArray& expected)
{
    QTest::newRow(name) << QString(record) << input << expected << QString();
}

// A row that fails with exactly this description (message and key path).
void bad(const char* name, const char* record, const QByteArray& input, const QString& error)
{
    QTest::newRow(name) << QString(record) << input << QByteArray() << error;
}

void columns()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("error");
}

void checkRow()
{
    QFETCH(QString, record);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(QString, error);
    try {
        const QJsonObject out = decodeThenEncode(record, input);
        QVERIFY2(error.isEmpty(), qPrintable("decoded, expected failure: " + error));
        QCOMPARE(out, parse(expected));
    } catch (const DecodingError& e) {
        QVERIFY2(!error.isEmpty(), qPrintable("failed: " + e.localizedDescription()));
        QCOMPARE(e.localizedDescription(), error);
    }
}

QString unsafeId(const QString& id)
{
    return QStringLiteral("Not a safe identifier: \"%1\" (at job.id)").arg(id);
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT

private slots:
    void jobs_data()
    {
        columns();
        good("minimal", "job", job(BASE), job(BASE));
        good("null optionals", "job",
             job(BASE R"(,"progress":null,"error":null,"createdAt":null,"completedAt":null,
                 "expiresAt":null,"outputs":null,"claimCheck":null)"),
             job(BASE));
        good("unknown status", "job", job(R"("id":"j","kind":"full","status":"paused","durationSeconds":1.5)"),
             job(R"("id":"j","kind":"full","status":"unknown","durationSeconds":1.5)"));
        good("every field", "job",
             job(R"("id":"j-2.x_Y","kind":"full","status":"succeeded","durationSeconds":12.25,"progress":1,
                 "error":{"code":"none","message":""},"createdAt":"2026-12-07T08:15:30.250Z",
                 "completedAt":"2026-12-07T08:16:00Z","expiresAt":"2026-12-08T10:00:00+02:00",
                 "outputs":{"dialogue":"https:\/\/s.example/d.flac?sig=a%2Fb","music":"http:\/\/127.0.0.1:9/m",
                 "effects":"https:\/\/s.example/e.flac"},"claimCheck":{"status":"checking"},"extra":[1])"),
             job(R"("id":"j-2.x_Y","kind":"full","status":"succeeded","durationSeconds":12.25,"progress":1,
                 "error":{"code":"none","message":""},"createdAt":"2026-12-07T08:15:30Z",
                 "completedAt":"2026-12-07T08:16:00Z","expiresAt":"2026-12-08T08:00:00Z",
                 "outputs":{"dialogue":"https:\/\/s.example/d.flac?sig=a%2Fb","music":"http:\/\/127.0.0.1:9/m",
                 "effects":"https:\/\/s.example/e.flac"},"claimCheck":{"status":"checking"})"));
        const QByteArray longId(128, 'a');
        good("128-character id", "job",
             job(R"("id":")" + longId + R"(","kind":"preview","status":"queued","durationSeconds":0)"),
             job(R"("id":")" + longId + R"(","kind":"preview","status":"queued","durationSeconds":0)"));

        bad("unknown kind", "job", job(R"("id":"j","kind":"trailer","status":"queued","durationSeconds":1)"),
            "Unknown value \"trailer\" (at job.kind)");
        bad("no duration", "job", job(R"("id":"j","kind":"full","status":"queued")"),
            "Key not found (at job.durationSeconds)");
        bad("duration as string", "job", job(R"("id":"j","kind":"full","status":"queued","durationSeconds":"30")"),
            "Expected a number but found a string (at job.durationSeconds)");
        bad("null id", "job", job(R"("id":null,"kind":"full","status":"queued","durationSeconds":1)"),
            "Value is null (at job.id)");
        bad("word for a date", "job", job(BASE R"(,"createdAt":"yesterday")"),
            "Invalid ISO 8601 date: yesterday (at job.createdAt)");
        bad("bare calendar date", "job", job(BASE R"(,"expiresAt":"2026-12-08")"),
            "Invalid ISO 8601 date: 2026-12-08 (at job.expiresAt)");
        bad("two stems", "job",
            job(BASE R"(,"outputs":{"dialogue":"https:\/\/s.example/d","music":"https:\/\/s.example/m"})"),
            "Key not found (at job.outputs.effects)");
        bad("stem on a file URL", "job",
            job(BASE R"(,"outputs":{"dialogue":"https:\/\/s.example/d","music":"file:\/\/\/etc\/passwd",
                "effects":"https:\/\/s.example/e"})"),
            "Not an http or https URL (scheme \"file\") (at job.outputs.music)");
        bad("stem not a URL", "job",
            job(BASE R"(,"outputs":{"dialogue":"stems/d.flac","music":"https:\/\/s.example/m",
                "effects":"https:\/\/s.example/e"})"),
            "Invalid URL string: stems/d.flac (at job.outputs.dialogue)");
        bad("failure without message", "job", job(BASE R"(,"error":{"code":"boom"})"),
            "Key not found (at job.error.message)");
        bad("check without status", "job", job(BASE R"(,"claimCheck":{"provider":"p"})"),
            "Key not found (at job.claimCheck.status)");
        for (const QString& id : {QString("../etc"), QString("."), QString(".."), QString("a/b"), QString("a%2Fb"),
                                  QString("a b"), QString(""), QString::fromUtf8("caf\u00e9"), QString(129, u'a')}) {
            const QByteArray name = "unsafe id " + id.left(12).toUtf8();
            bad(name.constData(), "job",
                job(R"("id":")" + id.toUtf8() + R"(","kind":"full","status":"queued","durationSeconds":1)"),
                unsafeId(id));
        }

        good("upload with no headers", "create", create(R"({"url":"https:\/\/up.example/x","method":"PUT","headers":{}})"),
             create(R"({"url":"https:\/\/up.example/x","method":"PUT","headers":{}})"));
        good("upload headers kept", "create",
             create(R"({"url":"http:\/\/127.0.0.1:8080/u/1","method":"POST",
                    "headers":{"Content-Type":"audio/mp4","x-goog-meta":"a b"}})"),
             create(R"({"url":"http:\/\/127.0.0.1:8080/u/1","method":"POST",
                    "headers":{"Content-Type":"audio/mp4","x-goog-meta":"a b"}})"));
        bad("upload to javascript:", "create", create(R"x({"url":"javascript:alert(1)","method":"PUT","headers":{}})x"),
            "Not an http or https URL (scheme \"javascript\") (at upload.url)");
        bad("upload header not a string", "create",
            create(R"({"url":"https:\/\/up.example/x","method":"PUT","headers":{"n":1}})"),
            "Expected a string but found a number (at upload.headers.n)");
        bad("upload without headers", "create", create(R"({"url":"https:\/\/up.example/x","method":"PUT"})"),
            "Key not found (at upload.headers)");
        bad("no upload", "create", R"({"job":{)" BASE "}}", "Key not found (at upload)");
    }
    void jobs() { checkRow(); }

    void songCheck_data()
    {
        columns();
        good("status only", "check", R"({"status":"checking"})", R"({"status":"checking"})");
        good("not_checked", "check", R"({"status":"not_checked"})", R"({"status":"not_checked"})");
        good("camel-case status is unknown", "check", R"({"status":"notChecked"})", R"({"status":"unknown"})");
        good("nulls and empty lists", "check",
             R"({"status":"clear","provider":null,"checkedSegments":null,"matches":[],"songs":null})",
             R"({"status":"clear","matches":[]})");
        good("every field", "check",
             R"({"status":"match","provider":"p1","checkedSegments":12,"clearWithoutAmbience":false,
                "matches":[{"title":"A","artist":"X","isrc":"USRC17607839","score":0.5,"offsetSeconds":3},
                           {"title":"B","artist":null}],
                "songs":[{"title":"A","artist":"X","score":88,"ranges":[{"start":1,"end":2.5}],"verdict":"ambienceZero"},
                         {"title":"B"},
                         {"title":"C","ranges":null,"verdict":"ambience_zero"},
                         {"title":"D","verdict":"stillThere"},
                         {"title":"E","verdict":"gone"}]})",
             R"({"status":"match","provider":"p1","checkedSegments":12,"clearWithoutAmbience":false,
                "matches":[{"title":"A","artist":"X","isrc":"USRC17607839","score":0.5,"offsetSeconds":3},
                           {"title":"B"}],
                "songs":[{"title":"A","artist":"X","score":88,"ranges":[{"start":1,"end":2.5}],"verdict":"ambienceZero"},
                         {"title":"B","ranges":[],"verdict":"unknown"},
                         {"title":"C","ranges":[],"verdict":"unknown"},
                         {"title":"D","ranges":[],"verdict":"stillThere"},
                         {"title":"E","ranges":[],"verdict":"gone"}]})");

        bad("no status", "check", R"({"provider":"p"})", "Key not found (at status)");
        bad("status not a string", "check", R"({"status":3})", "Expected a string but found a number (at status)");
        bad("fractional segment count", "check", R"({"status":"clear","checkedSegments":2.5})",
            "Number 2.5 is not a 64-bit integer (at checkedSegments)");
        bad("song without title", "check", R"({"status":"match","songs":[{"title":"A"},{"verdict":"gone"}]})",
            "Key not found (at songs[1].title)");
        bad("range without end", "check", R"({"status":"match","songs":[{"title":"A","ranges":[{"start":1}]}]})",
            "Key not found (at songs[0].ranges[0].end)");
        bad("match without title", "check", R"({"status":"match","matches":[{"score":1}]})",
            "Key not found (at matches[0].title)");
        bad("songs not a list", "check", R"({"status":"match","songs":{}})",
            "Expected an array but found an object (at songs)");
    }
    void songCheck() { checkRow(); }

    void accounts_data()
    {
        columns();
        good("user with only id", "user", R"({"id":"u1"})", R"({"id":"u1"})");
        good("user with nulls", "user", R"({"id":"u1","email":null,"name":"N","isAnonymous":false})",
             R"({"id":"u1","name":"N","isAnonymous":false})");
        good("null session", "session", R"({"session":null,"user":{"id":"u1"}})", R"({"user":{"id":"u1"}})");
        good("session without expiry", "session", R"({"session":{},"user":{"id":"u1"}})",
             R"({"session":{},"user":{"id":"u1"}})");
        good("session expiry", "session",
             R"({"session":{"expiresAt":"2026-01-02T03:04:05.678Z","token":"x"},"user":{"id":"u1","isAnonymous":true}})",
             R"({"session":{"expiresAt":"2026-01-02T03:04:05Z"},"user":{"id":"u1","isAnonymous":true}})");
        good("empty sign-in answer", "signin", "{}", "{}");
        good("sign-in answer", "signin", R"({"token":"t","user":{"id":"u","email":"a@b.c"},"redirect":false})",
             R"({"token":"t","user":{"id":"u","email":"a@b.c"}})");
        good("account with other members", "me",
             R"({"user":{"id":"u"},"usage":{"seconds":12},"plan":"free","limits":[1,2]})", R"({"user":{"id":"u"}})");

        bad("session without user", "session", R"({"session":null})", "Key not found (at user)");
        bad("session with a bad date", "session", R"({"session":{"expiresAt":"soon"},"user":{"id":"u"}})",
            "Invalid ISO 8601 date: soon (at session.expiresAt)");
        bad("sign-in user without id", "signin", R"({"token":"t","user":{"email":"a@b.c"}})",
            "Key not found (at user.id)");
        bad("account without user", "me", R"({"usage":{}})", "Key not found (at user)");
        bad("anonymous flag as string", "user", R"({"id":"u","isAnonymous":"yes"})",
            "Expected a Boolean but found a string (at isAnonymous)");
        bad("body not an object", "me", R"([{"user":{"id":"u"}}])", "Expected an object but found an array");
    }
    void accounts() { checkRow(); }

    // Request bodies: required keys always written, empty optionals left out.
    void requestBodies()
    {
        auto encoded = [](const auto& value) { return json::encode(value).toObject(); };
        QCOMPARE(encoded(CreateJobRequest{JobKind::preview, 30, "audio/mp4", std::nullopt}),
                 parse(R"({"kind":"preview","durationSeconds":30,"contentType":"audio/mp4"})"));
        QCOMPARE(encoded(CreateJobRequest{JobKind::full, 7200.5, "audio/mp4", true}),
                 parse(R"({"kind":"full","durationSeconds":7200.5,"contentType":"audio/mp4","claimCheck":true})"));
        QCOMPARE(encoded(PromoteJobRequest{90, std::nullopt}), parse(R"({"durationSeconds":90})"));
        QCOMPARE(encoded(PromoteJobRequest{90, false}), parse(R"({"durationSeconds":90,"claimCheck":false})"));
        QCOMPARE(encoded(SocialSignInRequest{AuthProvider::google, {"id-token", std::nullopt, "access"}}),
                 parse(R"({"provider":"google","idToken":{"token":"id-token","accessToken":"access"}})"));
        QCOMPARE(encoded(SocialSignInRequest{AuthProvider::apple, {"id-token", "n0", std::nullopt}}),
                 parse(R"({"provider":"apple","idToken":{"token":"id-token","nonce":"n0"}})"));
        QCOMPARE(json::encodeDocument(PromoteJobRequest{90, std::nullopt}), QByteArray(R"({"durationSeconds":90})"));
    }

    // What the round trips above cannot show: the decoded values themselves, fractional seconds
    // and offsets included, and that equality looks into nested records.
    void decodedValues()
    {
        const CloudJob decoded = json::decodeDocument<JobEnvelope>(job(
            R"("id":"j","kind":"full","status":"failed","durationSeconds":2,"error":{"code":"c","message":"m"},
               "createdAt":"2026-12-07T08:15:30.250Z","completedAt":"2026-12-07T10:15:30+0200",
               "claimCheck":{"status":"match","songs":[{"title":"A"}]})")).job;
        const QTimeZone utc = QTimeZone::utc();
        CloudJob expected{
            .id = "j",
            .kind = JobKind::full,
            .status = JobStatus::failed,
            .durationSeconds = 2,
            .error = JobFailure{"c", "m"},
            .createdAt = QDateTime(QDate(2026, 12, 7), QTime(8, 15, 30, 250), utc),
            .completedAt = QDateTime(QDate(2026, 12, 7), QTime(8, 15, 30), utc),
            .claimCheck = ClaimCheck{.status = ClaimCheckStatus::match,
                                     .songs = std::vector{ClaimCheckSong{.title = "A"}}},
        };
        QVERIFY(decoded == expected);
        expected.claimCheck->songs->front().verdict = ClaimCheckVerdict::gone;
        QVERIFY(!(decoded == expected));

        QVERIFY(isSafeIdentifier(u"Az09._-"));
        QVERIFY(!isSafeIdentifier(u"a\nb"));
        QVERIFY(isWebUrl(QUrl("HTTPS://Example.org/x")));
        QVERIFY(!isWebUrl(QUrl("http:relative")));
        QCOMPARE(json::fromRawValue<AuthProvider>(u"facebook"), std::nullopt);
        QCOMPARE(json::fromRawValue<JobStatus>(u"awaiting_upload"), JobStatus::awaitingUpload);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "test_records.moc"
