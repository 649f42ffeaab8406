#include "support/test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <fstream>

#include <unistd.h>

namespace hf::test {

QString outputFolder()
{
    QString folder = qEnvironmentVariable("HF_TEST_OUTPUT");
    if (folder.isEmpty())
        folder = QDir::current().absoluteFilePath(QStringLiteral("test-output"));
    QDir().mkpath(folder);
    return folder;
}

QString saveScreenshot(const QImage& image, const QString& area, const QString& state)
{
    QString root = qEnvironmentVariable("HF_SCREENSHOTS");
    if (root.isEmpty())
        root = QDir(outputFolder()).absoluteFilePath(QStringLiteral("../screenshots"));
    const QString folder = QDir(root).absoluteFilePath(area);
    QDir().mkpath(folder);
    const QString path = QDir(folder).absoluteFilePath(state + QStringLiteral(".png"));
    if (!image.save(path, "PNG"))
        qWarning("Could not save the screenshot %s", qPrintable(path));
    return QDir::cleanPath(path);
}

std::function<std::chrono::steady_clock::time_point()> givenClockOfThisThread()
{
    // The second field of a thread's schedstat: nanoseconds spent waiting on a run queue.
    const std::string path = "/proc/self/task/" + std::to_string(::gettid()) + "/schedstat";
    return [path] {
        const auto now = std::chrono::steady_clock::now();
        std::ifstream stats(path);
        long long ran = 0, waited = 0;
        if (!(stats >> ran >> waited))
            waited = 0;
        return now - std::chrono::nanoseconds(waited);
    };
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

void runTask(QCoro::Task<void> task, int timeoutMs)
{
    std::exception_ptr error;
    bool done = false;
    auto wrapper = [&](QCoro::Task<void> t) -> QCoro::Task<void> {
        try {
            co_await std::move(t);
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
    };
    auto running = wrapper(std::move(task));
    if (!spinUntil(done, timeoutMs))
        throw std::runtime_error("task did not finish in time");
    if (error)
        std::rethrow_exception(error);
}

bool spinUntil(const bool& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // so that the wait below returns now and then to look at the deadline
    wake.start(50);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done;
}

bool haveProgram(const QString& name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

bool touchFile(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

} // namespace hf::test
