// A stem download that does not complete leaves no file of its own and says so: a body cut off
// part way, and a final rename that the file system refuses.

#include "backend/api_error.h"
#include "pipeline/cloud_download.h"
#include "pipeline/media_error.h"
#include "platform/errors.h"
#include "platform/network.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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
};

QTEST_GUILESS_MAIN(TestStemDownload)
#include "test_stem_download.moc"
