// What `cmake --install` puts where the desktop looks: the program, the desktop entry that takes
// the web sign-in's links, the icon and the AppStream metainfo, each valid for its own checker.

#include "support/test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Runs a program; its exit code, and its output in `output`.
int run(const QString& program, const QStringList& arguments, QString* output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        return -1;
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class TestAppInstall : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void installsIntoTheXdgPlaces()
    {
        QTemporaryDir prefix;
        QString output;
        QCOMPARE(run(QStringLiteral(HF_CMAKE_COMMAND),
                     {"--install", QStringLiteral(HF_BUILD_DIR), "--prefix", prefix.path()}, &output),
                 0);
        const QString program = prefix.filePath("bin/hushframe");
        const QString entry = prefix.filePath("share/applications/dev.lanternworkshop.Hushframe.desktop");
        const QString icon = prefix.filePath("share/icons/hicolor/scalable/apps/dev.lanternworkshop.Hushframe.svg");
        const QString metainfo = prefix.filePath("share/metainfo/dev.lanternworkshop.Hushframe.metainfo.xml");
        QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(output));
        QVERIFY(QFileInfo::exists(icon));

        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString desktop = QString::fromUtf8(file.readAll());
        QVERIFY(desktop.contains("\nExec=hushframe %u\n"));
        QVERIFY(desktop.contains("x-scheme-handler/hushframe-direct;"));
        QVERIFY(desktop.contains("\nIcon=dev.lanternworkshop.Hushframe\n"));

        if (hf::test::haveProgram("desktop-file-validate"))
            QVERIFY2(run("desktop-file-validate", {entry}, &output) == 0, qPrintable(output));
        if (!hf::test::haveProgram("appstreamcli"))
            QSKIP("needs appstreamcli");
        QVERIFY2(run("appstreamcli", {"validate", "--no-net", metainfo}, &output) == 0, qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestAppInstall)
#include "test_app_install.moc"
