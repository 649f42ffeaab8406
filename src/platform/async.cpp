#include "platform/async.h"

#include "platform/texts.h"

#include <QMetaMethod>
#include <QNetworkReply>
#include <QTimer>

namespace hf {
namespace detail {

QObject* threadContext()
{
    thread_local std::unique_ptr<QObject> context;
    if (!context)
        context = std::make_unique<QObject>();
    return context.get();
}

void post(QObject* context, std::function<void()> fn)
{
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void Suspension::resumeLater()
{
    runThenResume({});
}

void Suspension::runThenResume(std::function<void()> fn)
{
    if (!m_context)
        return;
    std::weak_ptr<Suspension> weak = weak_from_this();
    post(m_context, [weak, fn = std::move(fn)] {
        auto self = weak.lock();
        if (!self || self->m_resumed)
            return;
        if (fn)
            fn();
        self->m_resumed = true;
        // The awaiter owns `self`; resuming may destroy it, so nothing touches `self` after.
        auto handle = self->m_handle;
        self.reset();
        handle.resume();
    });
}

struct ReplyAwaiter::Hold {
    QMetaObject::Connection finished;
    QMetaObject::Connection destroyed;
    std::unique_ptr<std::stop_callback<std::function<void()>>> stop;
    ~Hold()
    {
        QObject::disconnect(finished);
        QObject::disconnect(destroyed);
    }
};

ReplyAwaiter::ReplyAwaiter(QNetworkReply* reply, std::stop_token token)
    : m_reply(reply), m_token(std::move(token))
{
}

ReplyAwaiter::~ReplyAwaiter() = default;

bool ReplyAwaiter::await_ready() const
{
    return !m_reply || m_reply->isFinished() || m_token.stop_requested();
}

void ReplyAwaiter::await_suspend(std::coroutine_handle<> handle)
{
    m_suspension = std::make_shared<Suspension>(handle);
    m_hold = std::make_unique<Hold>();
    std::weak_ptr<Suspension> weak = m_suspension;
    m_hold->finished = QObject::connect(m_reply, &QNetworkReply::finished, threadContext(), [weak] {
        if (auto s = weak.lock())
            s->resumeLater();
    });
    // A reply deleted without finishing (its manager went away) never says `finished`.
    m_hold->destroyed = QObject::connect(m_reply, &QObject::destroyed, threadContext(), [weak] {
        if (auto s = weak.lock())
            s->resumeLater();
    });
    QPointer<QNetworkReply> reply = m_reply;
    m_hold->stop = std::make_unique<std::stop_callback<std::function<void()>>>(m_token, [weak, reply] {
        // May run on any thread, possibly inside request_stop(): only mark and queue.
        if (auto s = weak.lock()) {
            s->stopped = true;
            s->runThenResume([reply] {
                if (reply && reply->isRunning())
                    reply->abort();
            });
        }
    });
}

ReplyAwaiter::Outcome ReplyAwaiter::await_resume()
{
    m_hold.reset();
    if (m_token.stop_requested()) {
        if (m_reply && m_reply->isRunning())
            m_reply->abort();
        return Outcome::stopped;
    }
    return m_reply ? Outcome::finished : Outcome::lost;
}

} // namespace detail

QString ReplyLostError::localizedDescription() const
{
    return text("error.network.replyLost", "The connection was closed before the answer arrived.");
}

QCoro::Task<void> awaitReply(QNetworkReply* reply, std::stop_token token)
{
    auto outcome = detail::ReplyAwaiter::Outcome::finished;
    {
        detail::ReplyAwaiter awaiter(reply, token);
        outcome = co_await detail::AwaitRef<detail::ReplyAwaiter>{&awaiter};
    }
    if (outcome == detail::ReplyAwaiter::Outcome::stopped)
        throw Cancelled();
    if (outcome == detail::ReplyAwaiter::Outcome::lost)
        throw ReplyLostError();
}

ReplyHolder::ReplyHolder(QNetworkReply* reply) : m_reply(reply) {}

ReplyHolder::~ReplyHolder()
{
    reset();
}

void ReplyHolder::reset()
{
    if (m_reply) {
        // Every signal but destroyed(), through which others (Qt's own caches) learn of its end.
        const QMetaObject* meta = m_reply->metaObject();
        for (int i = 0; i < meta->methodCount(); ++i)
            if (const QMetaMethod signal = meta->method(i);
                signal.methodType() == QMetaMethod::Signal && signal.name() != QByteArrayLiteral("destroyed"))
                QObject::disconnect(m_reply, signal, nullptr, QMetaMethod());
        m_reply->deleteLater();
    }
    m_reply = nullptr;
}

QCoro::Task<void> sleepFor(std::chrono::milliseconds duration, std::stop_token token)
{
    struct SleepAwaiter {
        std::chrono::milliseconds duration;
        std::stop_token token;
        std::shared_ptr<detail::Suspension> suspension;
        std::unique_ptr<QTimer> timer;
        std::unique_ptr<std::stop_callback<std::function<void()>>> stop;

        bool await_ready() const { return token.stop_requested(); }
        void await_suspend(std::coroutine_handle<> handle)
        {
            suspension = std::make_shared<detail::Suspension>(handle);
            std::weak_ptr<detail::Suspension> weak = suspension;
            timer = std::make_unique<QTimer>();
            timer->setSingleShot(true);
            timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(timer.get(), &QTimer::timeout, timer.get(), [weak] {
                if (auto s = weak.lock())
                    s->resumeLater();
            });
            timer->start(duration);
            stop = std::make_unique<std::stop_callback<std::function<void()>>>(token, [weak] {
                if (auto s = weak.lock()) {
                    s->stopped = true;
                    s->resumeLater();
                }
            });
        }
        void await_resume()
        {
            stop.reset();
            timer.reset();
        }
    };
    {
        SleepAwaiter awaiter{duration, token, {}, {}, {}};
        co_await detail::AwaitRef<SleepAwaiter>{&awaiter};
    }
    throwIfStopped(token);
}

namespace {

// Detached tasks (spawned or in a slot) started and not yet ended; main thread only.
int g_detachedRunning = 0;

QCoro::Task<void> guarded(QCoro::Task<void> task, const QLoggingCategory& category, QString what,
                          std::function<void()> onEnd)
{
    ++g_detachedRunning;
    struct Ended {
        ~Ended() { --g_detachedRunning; }
    } ended;
    try {
        co_await std::move(task);
    } catch (const Cancelled&) {
    } catch (const std::exception& e) {
        qCWarning(category).noquote() << what << "failed:" << describe(e);
    } catch (...) {
        qCWarning(category).noquote() << what << "failed with an unknown error";
    }
    if (onEnd)
        onEnd();
}

} // namespace

int detachedTasksRunning()
{
    return g_detachedRunning;
}

void spawn(QCoro::Task<void> task, const QLoggingCategory& category, QString what)
{
    guarded(std::move(task), category, std::move(what), {});
}

void TaskSlot::start(Body body)
{
    cancel();
    m_source = std::stop_source();
    const quint64 generation = ++m_state->generation;
    m_state->running = true;
    std::weak_ptr<State> weak = m_state;
    // The body (a lambda whose captures its coroutine refers to) lives until its task ends.
    auto keep = std::make_shared<Body>(std::move(body));
    guarded((*keep)(m_source.get_token()), m_category, m_name, [weak, generation, keep] {
        if (auto state = weak.lock(); state && state->generation == generation)
            state->running = false;
    });
}

void TaskSlot::cancel()
{
    m_source.request_stop();
    m_state->running = false;
}

} // namespace hf
