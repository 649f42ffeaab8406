#pragma once

// Asynchronous building blocks shared by every component:
//  - hf::Cancelled (platform/errors.h) is what a stopped operation throws;
//  - awaitReply / sleepFor / SharedResult suspend a coroutine and resume it through a queued call
//    on the thread that awaited, never from inside request_stop() or a signal emission;
//  - runOffThread runs CPU or media work on the thread pool and comes back with its result;
//  - TaskSlot keeps one task at a time; spawn starts a detached coroutine that logs its failure.
//
// Lifetime rule: a coroutine must never touch a destroyed object after a suspension. Owners stop
// their tasks in their destructors, and every awaiter here throws hf::Cancelled on resumption
// once its token was stopped. Work handed to runOffThread captures values, never `this`.

#include "platform/errors.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <variant>

class QNetworkReply;

namespace hf {

// Throws hf::Cancelled when `token` was asked to stop. Call it after every co_await whose awaiter
// does not check the token itself.
inline void throwIfStopped(const std::stop_token& token)
{
    if (token.stop_requested())
        throw Cancelled();
}

namespace detail {

// An object living in the calling thread, used as the target of queued calls back to it.
QObject* threadContext();

// Posts `fn` to run later on `context`'s thread, through its event loop.
void post(QObject* context, std::function<void()> fn);

// The shared state of one suspension: resumes its coroutine exactly once, always through a
// queued call. Callbacks hold it weakly, so a destroyed coroutine frame leaves nothing dangling.
class Suspension : public std::enable_shared_from_this<Suspension> {
public:
    explicit Suspension(std::coroutine_handle<> handle)
        : m_handle(handle), m_context(threadContext()) {}

    // Queues the resumption; later calls (and calls after the awaiter is gone) do nothing.
    void resumeLater();
    // Queues `fn` on the coroutine's thread, then the resumption.
    void runThenResume(std::function<void()> fn);

    std::atomic<bool> stopped{false};

private:
    std::coroutine_handle<> m_handle;
    QPointer<QObject> m_context;
    bool m_resumed = false;
};

} // namespace detail

namespace detail {

// Awaits a named awaiter through a trivially copyable reference, since GCC 12 copies (and may
// destroy twice) the object a co_await expression names.
template<class A>
struct AwaitRef {
    A* awaiter;
    bool await_ready() const { return awaiter->await_ready(); }
    auto await_suspend(std::coroutine_handle<> h) { return awaiter->await_suspend(h); }
    decltype(auto) await_resume() { return awaiter->await_resume(); }
};

// The awaiter behind awaitReply. Its await_resume reports a stop instead of throwing: GCC 12
// destroys a temporary awaiter twice when await_resume throws, so every awaiter here is a named
// local of a small coroutine that throws afterwards.
class ReplyAwaiter {
public:
    ReplyAwaiter(QNetworkReply* reply, std::stop_token token);
    ReplyAwaiter(const ReplyAwaiter&) = delete;
    ~ReplyAwaiter();

    bool await_ready() const;
    void await_suspend(std::coroutine_handle<> handle);
    enum class Outcome { finished, stopped, lost };
    // `stopped` when the token stopped (the reply is aborted then), `lost` when the reply was
    // destroyed before it finished.
    Outcome await_resume();

private:
    struct Hold;
    QPointer<QNetworkReply> m_reply;
    std::stop_token m_token;
    std::shared_ptr<Suspension> m_suspension;
    std::unique_ptr<Hold> m_hold;
};

} // namespace detail

// Thrown by awaitReply when the reply was destroyed before it finished (its network manager was
// deleted while the request was out): there is no answer to read.
class ReplyLostError : public Error {
public:
    QString localizedDescription() const override;
};

// Awaits the end of a network reply. A stop of `token` aborts the reply and the await throws
// hf::Cancelled; a reply destroyed before it finished throws ReplyLostError; anything else
// (including Qt's own timeout abort) simply ends the await, and the caller reads the reply's
// status and error.
QCoro::Task<void> awaitReply(QNetworkReply* reply, std::stop_token token = {});

// Holds a reply for the scope of a request and deletes it later when the scope ends (or at
// reset()), its signals but destroyed() disconnected first; a reply that its network manager
// already destroyed is left alone.
class ReplyHolder {
public:
    explicit ReplyHolder(QNetworkReply* reply);
    ~ReplyHolder();
    ReplyHolder(const ReplyHolder&) = delete;
    ReplyHolder& operator=(const ReplyHolder&) = delete;
    void reset();

private:
    QPointer<QNetworkReply> m_reply;
};

// Suspends for `duration` on a precise timer; throws hf::Cancelled as soon as `token` stops.
QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, std::stop_token token = {});

// A result that many coroutines can await (a QCoro task can be awaited by one coroutine only).
// Waiters are resumed together, in the order they started waiting, each through a queued call.
template<class T>
class SharedResult {
    struct Waiter {
        std::weak_ptr<detail::Suspension> suspension;
    };

public:
    bool isReady() const { return m_state->outcome.index() != 0; }

    void resolve(T value) { finish(Outcome(std::in_place_index<1>, std::move(value))); }
    void fail(std::exception_ptr error) { finish(Outcome(std::in_place_index<2>, error)); }

    class Awaiter {
    public:
        Awaiter(std::shared_ptr<typename SharedResult::State> state, std::stop_token token)
            : m_state(std::move(state)), m_token(std::move(token)) {}
        Awaiter(const Awaiter&) = delete;

        bool await_ready() const { return m_state->outcome.index() != 0 || m_token.stop_requested(); }
        void await_suspend(std::coroutine_handle<> handle)
        {
            m_suspension = std::make_shared<detail::Suspension>(handle);
            m_state->waiters.push_back(Waiter{m_suspension});
            std::weak_ptr<detail::Suspension> weak = m_suspension;
            m_stop = std::make_unique<std::stop_callback<std::function<void()>>>(m_token, [weak] {
                if (auto s = weak.lock()) {
                    s->stopped = true;
                    s->resumeLater();
                }
            });
        }
        void await_resume() { m_stop.reset(); }

    private:
        std::shared_ptr<typename SharedResult::State> m_state;
        std::stop_token m_token;
        std::shared_ptr<detail::Suspension> m_suspension;
        std::unique_ptr<std::stop_callback<std::function<void()>>> m_stop;
    };

    // co_await result.wait(token): the value, or the error it failed with; hf::Cancelled when
    // `token` stops first. The result object itself may go away while a waiter waits.
    QCoro::Task<T> wait(std::stop_token token = {}) const
    {
        auto state = m_state;
        {
            Awaiter awaiter(state, token);
            co_await detail::AwaitRef<Awaiter>{&awaiter};
        }
        throwIfStopped(token);
        if (state->outcome.index() == 2)
            std::rethrow_exception(std::get<2>(state->outcome));
        co_return std::get<1>(state->outcome);
    }

private:
    using Outcome = std::variant<std::monostate, T, std::exception_ptr>;
    struct State {
        Outcome outcome;
        std::deque<Waiter> waiters;
    };

    void finish(Outcome outcome)
    {
        if (isReady())
            return;
        m_state->outcome = std::move(outcome);
        auto waiters = std::move(m_state->waiters);
        for (auto& waiter : waiters)
            if (auto s = waiter.suspension.lock())
                s->resumeLater();
    }

    std::shared_ptr<State> m_state = std::make_shared<State>();
};

// Runs `work` on the thread pool and awaits its result; exceptions thrown by `work` come back to
// the awaiting coroutine. When `token` was stopped by the time the work ends, throws
// hf::Cancelled instead (the work itself should check the token per buffer or chunk).
template<class F>
auto runOffThread(std::stop_token token, F work) -> QCoro::Task<std::invoke_result_t<F>>
{
    using R = std::invoke_result_t<F>;
    using Carrier = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
    auto future = QtConcurrent::run([work = std::move(work)]() mutable
                                        -> std::variant<std::monostate, Carrier, std::exception_ptr> {
        try {
            if constexpr (std::is_void_v<R>) {
                work();
                return std::variant<std::monostate, Carrier, std::exception_ptr>(std::in_place_index<1>);
            } else {
                return std::variant<std::monostate, Carrier, std::exception_ptr>(std::in_place_index<1>,
                                                                                 work());
            }
        } catch (...) {
            return std::variant<std::monostate, Carrier, std::exception_ptr>(std::in_place_index<2>,
                                                                             std::current_exception());
        }
    });
    auto outcome = co_await future;
    throwIfStopped(token);
    if (outcome.index() == 2)
        std::rethrow_exception(std::get<2>(outcome));
    if constexpr (!std::is_void_v<R>)
        co_return std::move(std::get<1>(outcome));
}

// Starts a detached coroutine. hf::Cancelled ends it silently; any other exception is logged
// on `category` as "<what> failed: <description>".
void spawn(QCoro::Task<void> task, const QLoggingCategory& category, QString what);
// How many tasks started by spawn() or a TaskSlot have not ended yet (main thread only). Whoever
// ends the program's services lets these run to their end first, so none is left suspended.
int detachedTasksRunning();

// One task at a time: starting a new task stops the previous one (its token is stopped; it ends
// at its next suspension). Destroying the slot stops its task.
class TaskSlot {
public:
    using Body = std::function<QCoro::Task<void>(std::stop_token)>;

    TaskSlot(const QLoggingCategory& category, QString name)
        : m_category(category), m_name(std::move(name)) {}
    ~TaskSlot() { cancel(); }
    TaskSlot(const TaskSlot&) = delete;
    TaskSlot& operator=(const TaskSlot&) = delete;

    // Stops the running task, if any, and starts `body` with a fresh token. The slot keeps `body`
    // alive until its task ends, so a coroutine lambda may use its captures throughout.
    void start(Body body);
    // Stops the running task, if any.
    void cancel();
    // True from start() until the task ends or is stopped.
    bool isRunning() const { return m_state->running && !m_source.stop_requested(); }
    // The current task's token (a stopped one when none runs).
    std::stop_token token() const { return m_source.get_token(); }

private:
    const QLoggingCategory& m_category;
    QString m_name;
    std::stop_source m_source = stoppedSource();
    struct State {
        quint64 generation = 0;
        bool running = false;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();

    static std::stop_source stoppedSource()
    {
        std::stop_source s;
        s.request_stop();
        return s;
    }
};

} // namespace hf
