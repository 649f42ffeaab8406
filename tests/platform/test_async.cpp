// Suspension, cancellation and the one-task-at-a-time slot.

#include "platform/async.h"
#include "platform/logging.h"
#include "platform/network.h"
#include "support/test_http_server.h"
#include "support/test_support.h"

#include <QNetworkReply>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <thread>

using namespace hf;
using namespace std::chrono_literals;
using hf::test::runTask;

HF_LOGGING_CATEGORY(lcAsyncTest, "AsyncTest")

class TestAsync : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stoppingAReplyCancelsLaterNotInline()
    {
        hf::test::TestHttpServer server;
        server.on("GET", "/slow", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(1500ms);
            res.status = 200;
        });
        std::unique_ptr<QNetworkAccessManager> nam(makeEphemeralNetworkSession(nullptr));
        std::stop_source stop;
        QPointer<QNetworkReply> reply = nam->get(QNetworkRequest(QUrl(server.baseUrl().toString() + "/slow")));
        enum { waiting, cancelled, finished } outcome = waiting;
        // The coroutine reads its captures through the lambda, so the lambda outlives the task.
        auto body = [&]() -> QCoro::Task<void> {
            try {
                co_await awaitReply(reply, stop.get_token());
                outcome = finished;
            } catch (const Cancelled&) {
                outcome = cancelled;
            }
        };
        auto task = body();
        QTest::qWait(50);
        stop.request_stop();
        // The coroutine resumes from the event loop, never inside request_stop().
        QCOMPARE(outcome, waiting);
        QVERIFY(QTest::qWaitFor([&] { return outcome != waiting; }, 1000));
        QCOMPARE(outcome, cancelled);
        QVERIFY(!reply || !reply->isRunning());
        delete reply;

        // A reply that ends by itself just ends the await.
        server.reply("GET", "/fast", 204, "");
        QNetworkReply* fast = nam->get(QNetworkRequest(QUrl(server.baseUrl().toString() + "/fast")));
        runTask([](QNetworkReply* r) -> QCoro::Task<void> { co_await awaitReply(r); }(fast));
        QCOMPARE(fast->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 204);
        delete fast;
    }

    // A reply that its network manager deletes while it is awaited ends the await with an error
    // instead of leaving the coroutine suspended for ever.
    void aReplyDestroyedWhileAwaitedEndsTheAwait()
    {
        hf::test::TestHttpServer server;
        server.on("GET", "/slow", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(1000ms);
            res.status = 200;
        });
        auto* nam = makeEphemeralNetworkSession(nullptr);
        QNetworkReply* reply = nam->get(QNetworkRequest(QUrl(server.baseUrl().toString() + "/slow")));
        ReplyHolder holder(reply);
        enum { waiting, lost, other } outcome = waiting;
        auto body = [&]() -> QCoro::Task<void> {
            try {
                co_await awaitReply(reply);
                outcome = other;
            } catch (const ReplyLostError&) {
                outcome = lost;
            } catch (...) {
                outcome = other;
            }
        };
        auto task = body();
        QTest::qWait(50);
        delete nam; // takes the reply with it
        QVERIFY(QTest::qWaitFor([&] { return outcome != waiting; }, 1000));
        QCOMPARE(outcome, lost);
        holder.reset(); // leaves the destroyed reply alone
        QVERIFY(!ReplyLostError().localizedDescription().isEmpty());
    }

    void sleepEndsEarlyWhenStopped()
    {
        QElapsedTimer clock;
        clock.start();
        runTask(sleepFor(30ms));
        QVERIFY(clock.elapsed() >= 29);

        std::stop_source stop;
        QTimer::singleShot(20, [&] { stop.request_stop(); });
        clock.restart();
        QVERIFY_THROWS_EXCEPTION(Cancelled, runTask(sleepFor(10s, stop.get_token())));
        QVERIFY(clock.elapsed() < 2000);
    }

    void sharedResultResumesWaitersInOrder()
    {
        SharedResult<int> result;
        std::vector<int> order;
        auto waiter = [&](int id) -> QCoro::Task<void> {
            const int v = co_await result.wait();
            order.push_back(id * 100 + v);
        };
        auto a = waiter(1);
        auto b = waiter(2);
        auto c = waiter(3);
        result.resolve(7);
        QVERIFY(order.empty()); // resumed through queued calls, not inside resolve()
        QVERIFY(QTest::qWaitFor([&] { return order.size() == 3; }, 1000));
        QCOMPARE(order, (std::vector<int>{107, 207, 307}));
        // A late waiter gets the value at once.
        QCOMPARE(runTask([&]() -> QCoro::Task<int> { co_return co_await result.wait(); }()), 7);

        SharedResult<int> failing;
        auto waitFail = [&]() -> QCoro::Task<int> { co_return co_await failing.wait(); };
        auto pending = waitFail();
        failing.fail(std::make_exception_ptr(std::runtime_error("boom")));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, runTask(std::move(pending)));

        // A waiter whose own token stops leaves without the result.
        SharedResult<int> never;
        std::stop_source stop;
        QTimer::singleShot(10, [&] { stop.request_stop(); });
        QVERIFY_THROWS_EXCEPTION(Cancelled, runTask([&]() -> QCoro::Task<int> {
            co_return co_await never.wait(stop.get_token());
        }()));
    }

    void runOffThreadCarriesValuesAndErrors()
    {
        const auto mainThread = QThread::currentThread();
        QThread* workThread = nullptr;
        const int value = runTask(runOffThread({}, [&] {
            workThread = QThread::currentThread();
            return 42;
        }));
        QCOMPARE(value, 42);
        QVERIFY(workThread != mainThread);
        QVERIFY_THROWS_EXCEPTION(std::logic_error,
                                 runTask(runOffThread({}, [] { throw std::logic_error("bad"); })));
        std::stop_source stop;
        stop.request_stop();
        QVERIFY_THROWS_EXCEPTION(Cancelled, runTask(runOffThread(stop.get_token(), [] { return 1; })));
    }

    void slotKeepsOneTaskAtATime()
    {
        TaskSlot slot(lcAsyncTest(), QStringLiteral("Test task"));
        std::vector<QString> log;
        auto body = [&](QString name) {
            return [&log, name](std::stop_token token) -> QCoro::Task<void> {
                log.push_back(name + QStringLiteral(" start"));
                co_await sleepFor(100ms, token);
                log.push_back(name + QStringLiteral(" end"));
            };
        };
        slot.start(body(QStringLiteral("a")));
        QVERIFY(slot.isRunning());
        slot.start(body(QStringLiteral("b"))); // stops a
        QVERIFY(QTest::qWaitFor([&] { return !slot.isRunning(); }, 2000));
        QCOMPARE(log, (std::vector<QString>{"a start", "b start", "b end"}));

        // A failure other than cancellation is logged, and the slot is free again.
        QTest::ignoreMessage(QtWarningMsg, "Test task failed: exploded");
        slot.start([](std::stop_token) -> QCoro::Task<void> {
            co_await sleepFor(1ms);
            throw std::runtime_error("exploded");
        });
        QVERIFY(QTest::qWaitFor([&] { return !slot.isRunning(); }, 2000));

        // Destroying the slot stops its task.
        bool ended = false, cancelled = false;
        {
            TaskSlot scoped(lcAsyncTest(), QStringLiteral("Scoped"));
            scoped.start([&](std::stop_token token) -> QCoro::Task<void> {
                try {
                    co_await sleepFor(10s, token);
                } catch (const Cancelled&) {
                    cancelled = true;
                    throw;
                }
                ended = true;
            });
        }
        QVERIFY(QTest::qWaitFor([&] { return cancelled; }, 1000));
        QVERIFY(!ended);
    }
};

QTEST_GUILESS_MAIN(TestAsync)
#include "test_async.moc"
