// Time from process start to the main window drawn, against a bare Qt window in the same run:
// each program is started several times, offscreen and (when xvfb-run is there) under Xvfb,
// and the median of each is printed with the ratio. The application writes a debug line when
// its main window is first drawn; the bare window prints one of its own. A second bare window,
// linked with the FFmpeg libraries as the application is, shows what loading them costs.
//
// Every run gets a home of its own and no session bus, so the keychain falls back to its file
// at once instead of waiting for a Secret Service to start.
//
//   bench_startup [--runs N]

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#ifdef HF_BARE_WITH_MEDIA
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#endif

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class BareWindow : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(rect(), Qt::black);
        if (!m_drawn) {
            m_drawn = true;
            std::fprintf(stderr, "Main window drawn\n");
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
    }

private:
    bool m_drawn = false;
};

// Milliseconds from the start of `program` to its "Main window drawn" line; -1 on failure.
double timeToWindow(const QString& program, const QStringList& arguments, const QString& platform)
{
    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", platform);
    environment.insert("QT_LOGGING_RULES", "dev.lanternworkshop.Hushframe.App.debug=true");
    environment.insert("HOME", home.path());
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.insert("XDG_CACHE_HOME", home.filePath("cache"));
    environment.insert("HF_INSTANCE_CHANNEL", home.filePath("channel"));
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    QByteArray output;
    double elapsed = -1;
    while (clock.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(50);
        output += process.readAll();
        if (output.contains("Main window drawn")) {
            elapsed = clock.nsecsElapsed() / 1e6;
            break;
        }
    }
    if (elapsed < 0)
        std::fprintf(stderr, "%s did not show its window (%s, exit %d):\n%s\n", qPrintable(program),
                     process.state() == QProcess::NotRunning ? "ended" : "still running", process.exitCode(),
                     output.constData());
    process.kill();
    process.waitForFinished();
    return elapsed;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

void measure(const QString& self, const QString& platform, int runs)
{
    const QString bareWithMedia = QStringLiteral(HF_BARE_WITH_MEDIA_PROGRAM);
    std::vector<double> bare, media, app;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(timeToWindow(self, {"--bare"}, platform));
        media.push_back(timeToWindow(bareWithMedia, {"--bare"}, platform));
        app.push_back(timeToWindow(QStringLiteral(HF_APP_PROGRAM), {}, platform));
    }
    const double b = median(bare), m = median(media), a = median(app);
    std::printf("%-10s bare Qt window %6.1f ms   with FFmpeg %6.1f ms   Hushframe %6.1f ms   "
                "ratio %.2f (%.2f to the window with FFmpeg)   median of %d\n",
                qPrintable(platform), b, m, a, a / b, a / m, runs);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments.contains("--bare")) {
#ifdef HF_BARE_WITH_MEDIA
        // Used, so the libraries stay linked however the linker is told to trim.
        if (avformat_version() == 0 || avcodec_version() == 0)
            return 1;
#endif
        QApplication app(argc, argv);
        BareWindow window;
        window.resize(1440, 900);
        window.show();
        return app.exec();
    }
    QCoreApplication app(argc, argv);
    const int at = static_cast<int>(arguments.indexOf("--runs"));
    const int runs = at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : 7;
    const QString self = QCoreApplication::applicationFilePath();
    if (arguments.contains("--xcb-only")) {
        measure(self, "xcb", runs);
        return 0;
    }
    measure(self, "offscreen", runs);
    const QString xvfbRun = QStandardPaths::findExecutable("xvfb-run");
    if (xvfbRun.isEmpty()) {
        std::printf("xcb        skipped: no xvfb-run\n");
        return 0;
    }
    QProcess xvfb;
    xvfb.setProcessChannelMode(QProcess::ForwardedChannels);
    xvfb.start(xvfbRun, {"-a", "-s", "-screen 0 1920x1200x24", self, "--xcb-only", "--runs", QString::number(runs)});
    xvfb.waitForFinished(300000);
    return 0;
}
