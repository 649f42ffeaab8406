// Time from process start to the main window, against a bare Qt window in the same run: each
// program is started several times, offscreen and (when xvfb-run is there) under Xvfb, and the
// median of each is printed with the ratio. A second bare window, linked with the FFmpeg
// libraries as the application is, shows what loading them costs.
//
// What is timed differs by platform:
//  - offscreen, where nothing reaches a screen: until the program's "Main window drawn" line,
//    which the application logs as its first paint of the main window begins (the bare windows
//    print one of their own);
//  - under Xvfb: until the window's pixels are on the X server. The screen is read back before
//    each start; once the window is mapped, rows across it are read back every half millisecond
//    until they differ from what the screen showed there before: the first frame, painted,
//    flushed and drawn by the server. The time from the "Main window drawn" line to those pixels
//    is printed too.
//
// Beside each median time: the median CPU time the program had had by then (user and system, to
// the kernel's tick), and the load average when the runs ended.
//
// Every run gets a home of its own and no session bus, so the keychain falls back to its file
// at once instead of waiting for a Secret Service to start.
//
//   bench_startup [--runs N]

#include "bench_measure.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>

#ifdef HF_BARE_WITH_MEDIA
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}
#endif

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class BareWindow : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        // A colour no X server shows before a window is there.
        QPainter(this).fillRect(rect(), QColor(0x20, 0x60, 0x90));
        if (!m_drawn) {
            m_drawn = true;
            // It stays until the benchmark ends it, so that its pixels can reach the screen.
            std::fprintf(stderr, "Main window drawn\n");
        }
    }

private:
    bool m_drawn = false;
};

// A home of its own and no session bus, for one run.
QProcessEnvironment runEnvironment(const QTemporaryDir& home, const QString& platform)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", platform);
    environment.insert("QT_LOGGING_RULES", "dev.lanternworkshop.Hushframe.App.debug=true");
    environment.insert("HOME", home.path());
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.insert("XDG_CACHE_HOME", home.filePath("cache"));
    environment.insert("HF_INSTANCE_CHANNEL", home.filePath("channel"));
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus"));
    return environment;
}

void stopProcess(QProcess& process)
{
    process.kill();
    process.waitForFinished();
}

struct WindowTime {
    double ms = -1;      // to the "Main window drawn" line
    double cpuMs = -1;   // the program's CPU time by then
};

// From the start of `program` to its "Main window drawn" line; -1 on failure.
WindowTime timeToWindow(const QString& program, const QStringList& arguments, const QString& platform)
{
    QTemporaryDir home;
    QProcess process;
    process.setProcessEnvironment(runEnvironment(home, platform));
    process.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    QByteArray output;
    WindowTime time;
    while (clock.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(50);
        output += process.readAll();
        if (output.contains("Main window drawn")) {
            time.ms = clock.nsecsElapsed() / 1e6;
            time.cpuMs = hf::bench::runningCpuSeconds(pid_t(process.processId())) * 1000;
            break;
        }
    }
    if (time.ms < 0)
        std::fprintf(stderr, "%s did not show its window (%s, exit %d):\n%s\n", qPrintable(program),
                     process.state() == QProcess::NotRunning ? "ended" : "still running", process.exitCode(),
                     output.constData());
    stopProcess(process);
    return time;
}

// ---- Pixels on the X server

struct PixelTimes {
    double pixels = -1;     // to the window's first pixels on the X server
    double drawnLine = -1;  // to the program's "Main window drawn" line (as soon as it was read)
    double cpuMs = -1;      // the program's CPU time when its pixels were seen
};

// Rows across the screen, a tenth of its height apart: what the probes read back. Nothing else
// runs on this X server, so any change there is the new window's.
std::vector<QRect> probeRows(const QRect& screen)
{
    std::vector<QRect> rows;
    for (int i = 1; i < 10; ++i)
        rows.push_back(QRect(0, screen.height() * i / 10, screen.width(), 1));
    return rows;
}

QImage readBack(QScreen* screen, const QRect& area)
{
    return screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

// Milliseconds from the start of `program` to its window's first pixels on the X server.
PixelTimes timeToPixels(QScreen* screen, const QString& program, const QStringList& arguments)
{
    PixelTimes times;
    QTemporaryDir home;
    const std::vector<QRect> rows = probeRows(QRect(QPoint(), screen->size() * screen->devicePixelRatio()));
    std::vector<QImage> before;
    for (const QRect& row : rows)
        before.push_back(readBack(screen, row));
    QProcess process;
    process.setProcessEnvironment(runEnvironment(home, QStringLiteral("xcb")));
    process.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray output;
    QElapsedTimer clock;
    const auto readOutput = [&](int waitMs) {
        if (times.drawnLine < 0 && process.waitForReadyRead(waitMs)) {
            output += process.readAll();
            if (output.contains("Main window drawn"))
                times.drawnLine = clock.nsecsElapsed() / 1e6;
        }
    };
    clock.start();
    process.start(program, arguments);
    while (times.pixels < 0 && clock.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
        readOutput(0);
        const double now = clock.nsecsElapsed() / 1e6;
        for (size_t i = 0; i < rows.size() && times.pixels < 0; ++i) {
            if (readBack(screen, rows[i]) != before[i]) {
                times.pixels = now;
                times.cpuMs = hf::bench::runningCpuSeconds(pid_t(process.processId())) * 1000;
            }
        }
        ::usleep(500);
    }
    // The line may come a little after the pixels.
    while (times.drawnLine < 0 && clock.elapsed() < 20000 && process.state() != QProcess::NotRunning)
        readOutput(50);
    if (times.pixels < 0)
        std::fprintf(stderr, "%s did not show its window on the X server:\n%s\n", qPrintable(program),
                     output.constData());
    stopProcess(process);
    // Until the window is gone from the screen, the next run's picture of it would be wrong.
    while (clock.elapsed() < 25000) {
        bool clear = true;
        for (size_t i = 0; i < rows.size() && clear; ++i)
            clear = readBack(screen, rows[i]) == before[i];
        if (clear)
            break;
        ::usleep(1000);
    }
    return times;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

void printCpu(const std::vector<double>& bare, const std::vector<double>& media, const std::vector<double>& app)
{
    std::printf("           CPU time by then: bare Qt window %6.1f ms   with FFmpeg %6.1f ms   Hushframe %6.1f ms   "
                "load average %.2f\n",
                median(bare), median(media), median(app), hf::bench::loadAverage());
}

// Under Xvfb: to the pixels of each program's window on the X server.
void measurePixels(const QString& self, int runs)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QString bareWithMedia = QStringLiteral(HF_BARE_WITH_MEDIA_PROGRAM);
    std::vector<double> bare, media, app, lineToPixels, bareCpu, mediaCpu, appCpu;
    for (int i = 0; i < runs; ++i) {
        const PixelTimes b = timeToPixels(screen, self, {"--bare"});
        bare.push_back(b.pixels);
        bareCpu.push_back(b.cpuMs);
        const PixelTimes m = timeToPixels(screen, bareWithMedia, {"--bare"});
        media.push_back(m.pixels);
        mediaCpu.push_back(m.cpuMs);
        const PixelTimes ours = timeToPixels(screen, QStringLiteral(HF_APP_PROGRAM), {});
        app.push_back(ours.pixels);
        appCpu.push_back(ours.cpuMs);
        if (ours.pixels >= 0 && ours.drawnLine >= 0)
            lineToPixels.push_back(ours.pixels - ours.drawnLine);
    }
    std::sort(lineToPixels.begin(), lineToPixels.end());
    const double b = median(bare), m = median(media), a = median(app);
    std::printf("%-10s bare Qt window %6.1f ms   with FFmpeg %6.1f ms   Hushframe %6.1f ms   "
                "ratio %.2f (%.2f to the window with FFmpeg)   median of %d, to the pixels on the X server\n",
                "xcb", b, m, a, a / b, a / m, runs);
    printCpu(bareCpu, mediaCpu, appCpu);
    if (!lineToPixels.empty())
        std::printf("           Hushframe's \"Main window drawn\" line to its pixels: median %.1f ms (%.1f to %.1f)\n",
                    median(lineToPixels), lineToPixels.front(), lineToPixels.back());
    std::fflush(stdout);
}

void measure(const QString& self, const QString& platform, int runs)
{
    const QString bareWithMedia = QStringLiteral(HF_BARE_WITH_MEDIA_PROGRAM);
    std::vector<double> bare, media, app, bareCpu, mediaCpu, appCpu;
    const auto run = [&](std::vector<double>& times, std::vector<double>& cpu, const QString& program,
                         const QStringList& arguments) {
        const WindowTime t = timeToWindow(program, arguments, platform);
        times.push_back(t.ms);
        cpu.push_back(t.cpuMs);
    };
    for (int i = 0; i < runs; ++i) {
        run(bare, bareCpu, self, {"--bare"});
        run(media, mediaCpu, bareWithMedia, {"--bare"});
        run(app, appCpu, QStringLiteral(HF_APP_PROGRAM), {});
    }
    const double b = median(bare), m = median(media), a = median(app);
    std::printf("%-10s bare Qt window %6.1f ms   with FFmpeg %6.1f ms   Hushframe %6.1f ms   "
                "ratio %.2f (%.2f to the window with FFmpeg)   median of %d, to the first paint's start\n",
                qPrintable(platform), b, m, a, a / b, a / m, runs);
    printCpu(bareCpu, mediaCpu, appCpu);
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
    const int at = static_cast<int>(arguments.indexOf("--runs"));
    const int runs = at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toInt() : 7;
    if (arguments.contains("--xcb-only")) {
        // Run by xvfb-run: this process reads the X server's screen back.
        QGuiApplication app(argc, argv);
        measurePixels(QCoreApplication::applicationFilePath(), runs);
        return 0;
    }
    QCoreApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();
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
