#pragma once

// The two ways the Qt benchmarks wait: on the event loop for a while, and for a program they run.

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace hf::bench {

// Runs the event loop for `milliseconds`.
inline void wait(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs `program` to its end, its errors passed through; whether it exited normally with 0.
inline bool run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace hf::bench
