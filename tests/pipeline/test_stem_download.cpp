// A stem download that does not complete leaves no file of its own and says so: a body cut off
// part way, and a final rename that the file system refuses.

#include "backend/api_error.h"
#include "pipeline/cloud_download.h"
#include "pipeline/cloud_stem_check.h"
#include "helpers_cloud.h"
#include "helpers_media.h"
#include "pipeline/media_error.h"
#include "platform/errors.h"
#include "platform/async.h"
#include "platform/network.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QNetworkReply>
#include <QTest>

#include <thread>

using namespace hf;
using namespace hf::test;

class TestStemDownload : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestHttpServer m_server;
    std::unique_ptr<QNetworkAccessManager> m_session;

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QUrl stemUrl() const { return QUrl(m_server.baseUrl().toString() + QStringLiteral("/stem.flac")); }
    QStringList entries(const QString& folder) const
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private slots:
    void initTestCase() { m_session.reset(makeEphemeralNetworkSession(nullptr)); }

    void bodyCutOffPartWay()
    {
        // One megabyte announced, the connection closed after a third of it.
        m_server.on("GET", "/stem.flac", [](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(1024 * 1024, "audio/flac",
                                          [](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset >= 320 * 1024)
                                                  return false;
                                              const std::string chunk(32 * 1024, 'x');
                                              return sink.write(chunk.data(), chunk.size());
                                          });
        });
        const QString folder = path("cut");
        QVERIFY(QDir().mkpath(folder));
        const QString destination = folder + "/dialogue.flac";
        QFile old(destination);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an earlier stem");
        old.close();

        try {
            runTask(downloadToFile(m_session.get(), stemUrl(), destination));
            QFAIL("a cut-off body was taken for the whole stem");
        } catch (const APIError& e) {
            QCOMPARE(e.kind(), APIError::Case::network);
        }
        QCOMPARE(entries(folder), QStringList{"dialogue.flac"});
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("an earlier stem"));
    }

    void finalRenameRefused()
    {
        // While the body arrives, a folder takes the stem's name: the rename over it fails.
        const QString folder = path("rename");
        QVERIFY(QDir().mkpath(folder));
        const QString destination = folder + "/effects.flac";
        m_server.on("GET", "/stem.flac", [destination](const httplib::Request&, httplib::Response& response) {
            QDir().mkpath(destination + "/inside");
            response.set_content(std::string(200 * 1024, 'x'), "audio/flac");
        });
        QVERIFY_THROWS_EXCEPTION(FileSystemError, runTask(downloadToFile(m_session.get(), stemUrl(), destination)));
        QCOMPARE(entries(folder), QStringList{"effects.flac"});
        QVERIFY(QFileInfo(destination).isDir());
    }

    // A stem slower than the minimum rate fails, however steadily it arrives: here about 1200
    // bytes a second against a minimum of 2000.
    void slowerThanTheMinimumRateFails()
    {
        m_server.on("GET", "/stem.flac", [](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(6000, "audio/flac", [](size_t offset, size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(offset == 0 ? 0 : 170));
                return sink.write(std::string(200, 'x').data(), std::min<size_t>(200, 6000 - offset));
            });
        });
        const ReplyLimits limits{.minBytesPerSecond = 2000, .rateWindow = std::chrono::seconds(1)};
        const QString destination = path("slow.flac");
        auto e = thrown<APIError>(
            [&] { runTask(downloadToFile(m_session.get(), stemUrl(), destination, {}, std::chrono::seconds(60), limits)); });
        QVERIFY(e && e->kind() == APIError::Case::network);
        QVERIFY(!QFileInfo::exists(destination));
    }

    // A stem's server leaves no state in the session: a redirect to another origin is not
    // followed and a cookie it sets is not sent back, whichever request of the session got it.
    void answersLeaveNoState()
    {
        TestHttpServer elsewhere;
        m_server.clearReceived();
        elsewhere.reply("GET", "/stem.flac", 200, "x");
        m_server.reply("GET", "/stem.flac", 302, "",
                       {{"Location", elsewhere.baseUrl().toString().toStdString() + "/stem.flac"},
                        {"Set-Cookie", "visit=1; Path=/"}});
        const auto plainGet = [this] {
            QNetworkReply* plain = m_session->get(QNetworkRequest(stemUrl()));
            runTask(awaitReply(plain));
            plain->deleteLater();
        };
        plainGet();
        QCOMPARE(runTask(downloadToFile(m_session.get(), stemUrl(), path("moved.flac"))), 302);
        plainGet();
        QCOMPARE(elsewhere.count("GET", "/stem.flac"), 0);
        const auto got = m_server.received();
        QCOMPARE(got.size(), size_t(3));
        for (const auto& request : got)
            QVERIFY(!request.hasHeader("Cookie"));
    }

    // A stem is taken only when it is whole audio of the soundtrack's channel count and length.
    void stemCheck()
    {
        if (!haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("needs ffmpeg");
        // Cut: still within the length tolerance, but short of the length its header states.
        enum Damage { none, overwritten, cut };
        const struct {
            int channels;
            double seconds;
            Damage damage;
            bool accepted;
        } cases[] = {
            {2, 4.0, none, true}, {6, 4.0, none, false}, {1, 4.0, none, false},
            {2, 2.5, none, false}, {2, 4.0, overwritten, false}, {2, 4.0, cut, false},
        };
        for (const auto& c : cases) {
            const QString stem = path(QStringLiteral("check-%1-%2-%3.flac").arg(c.channels).arg(c.seconds).arg(c.damage));
            QVERIFY(makeTone(stem, c.seconds, 44100, c.channels, QStringLiteral("0.3*sin(2*PI*440*t)+0.1*random(0)"),
                             {"-c:a", "flac"}));
            QFile file(stem);
            QVERIFY(file.open(QIODevice::ReadWrite));
            if (c.damage == overwritten)
                QVERIFY(file.seek(file.size() / 2) && file.write(QByteArray(4096, '\x55')) == 4096);
            else if (c.damage == cut)
                QVERIFY(file.resize(file.size() * 9 / 10));
            file.close();
            QVERIFY2(stemMatches(stem, ExpectedStem{2, 4.0}) == c.accepted, qPrintable(stem));
        }
    }
};

QTEST_GUILESS_MAIN(TestStemDownload)
#include "test_stem_download.moc"
