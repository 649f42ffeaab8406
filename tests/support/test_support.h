#pragma once

// Small helpers shared by the tests.

#include <QImage>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>

namespace hf::test {

// Where tests leave files for a person to look at (screenshots, measured figures):
// $HF_TEST_OUTPUT, else "test-output" in the working folder. Created on first use.
QString outputFolder();

// Runs a coroutine to its end on the current thread's event loop (waiting at most `timeoutMs`)
// and returns its value or rethrows its exception. For tests only: application code never blocks.
template<class T>
T runTask(QCoro::Task<T> task, int timeoutMs = 20000);
void runTask(QCoro::Task<void> task, int timeoutMs = 20000);

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

// Spins the event loop until `done` is true or `timeoutMs` passes, without QTest::qWaitFor's pauses
// between rounds (they slow streaming work down). Returns whether `done` became true.
bool spinUntil(const bool& done, int timeoutMs);

// Saves a screen test's picture to <build folder>/screenshots/<area>/<state>.png for a person to
// look at ($HF_SCREENSHOTS overrides the folder). Returns the file's path.
QString saveScreenshot(const QImage& image, const QString& area, const QString& state);

// The time the thread that calls this was given to run: the steady clock less the time that thread
// has spent ready to run but waiting for a processor, which a busy machine takes from it. Bounds
// kept by timers on that thread are judged on this clock (it may be read from any thread); where
// the system does not tell the wait, it is the steady clock.
std::function<std::chrono::steady_clock::time_point()> givenClockOfThisThread();

// True when the program is on the PATH.
bool haveProgram(const QString& name);
// Writes a one-byte file at `path`, making its folders.
bool touchFile(const QString& path);

template<class T>
T runTask(QCoro::Task<T> task, int timeoutMs)
{
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    auto wrapper = [&](QCoro::Task<T> t) -> QCoro::Task<void> {
        try {
            value.emplace(co_await std::move(t));
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
    return std::move(*value);
}

} // namespace hf::test
