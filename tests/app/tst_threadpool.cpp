// Channel worker pool: ordering, parallelism, fallback, failures, clean-up.
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QSet>
#include <QTest>
#include <QThread>
#include <QVariantMap>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>

#include "ThreadPool.h"
#include "log_capture.h"

namespace {

QVariantMap channelMap(unsigned type, unsigned index, unsigned channel) {
    QVariantMap m;
    m.insert("deviceType", type);
    m.insert("deviceTypeName", "ZHCX");
    m.insert("deviceIndex", index);
    m.insert("canChannel", channel);
    m.insert("bitrate", 1000);
    return m;
}

// Waits until `done` holds, letting time pass; false on time-out.
template <typename F> bool waitFor(F done, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) {
            return false;
        }
        QThread::msleep(2);
    }
    return true;
}

} // namespace

class TestThreadPool : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { capture.reset(new LogCapture); }
    void cleanupTestCase() { capture.reset(); }
    void init() { LogCapture::clear(); }
    void cleanup() { ThreadPool::instance()->cleanup(); }

    void channelKeyAndSingleton() {
        QCOMPARE(ThreadPool::makeChannelKey(4, 0, 1), QString("4_0_1"));
        QCOMPARE(ThreadPool::makeChannelKey(4294967295u, 10, 0), QString("4294967295_10_0"));
        QCOMPARE(ThreadPool::instance(), ThreadPool::instance());
    }

    void submitBeforeInitRunsNothing() {
        auto pool = ThreadPool::instance();
        QVERIFY(!pool->poolInitialized);
        std::atomic<bool> ran{false};
        pool->submitTask(4, 0, 0, [&ran]() { ran = true; });
        QThread::msleep(50);
        QVERIFY(!ran);
        QCOMPARE(LogCapture::count("[ThreadPool] Error: Thread pool not initialized"), 1);

        // Clean-up of an uninitialised pool says nothing.
        LogCapture::clear();
        pool->cleanup();
        QVERIFY(LogCapture::lines().isEmpty());
    }

    // One worker per channel; an empty list stops them and leaves the pool
    // refusing tasks.
    void initStartsWorkersAndEmptyListStopsThem() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 0, 1), channelMap(4, 1, 0)});
        QVERIFY(pool->poolInitialized);
        std::atomic<QThread *> first{nullptr};
        std::atomic<QThread *> second{nullptr};
        QVERIFY(pool->submitTask(4, 0, 1, [&]() { first = QThread::currentThread(); }));
        QVERIFY(pool->submitTask(4, 1, 0, [&]() { second = QThread::currentThread(); }));
        QVERIFY(waitFor([&] { return first && second; }));
        QVERIFY(first.load() != second.load());

        pool->init({});
        QVERIFY(!pool->poolInitialized);
        std::atomic<bool> ran{false};
        QVERIFY(!pool->submitTask(4, 0, 1, [&ran]() { ran = true; }));
        QThread::msleep(50);
        QVERIFY(!ran);
    }

    void orderWithinChannelNoOverlap() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 0, 0), channelMap(4, 0, 1)});
        QMutex m;
        QList<int> order;
        QSet<QThread *> threads;
        std::atomic<int> running{0};
        std::atomic<int> maxRunning{0};
        for (int i = 0; i < 20; ++i) {
            pool->submitTask(4, 0, 0, [&, i]() {
                const int now = ++running;
                int seen = maxRunning.load();
                while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
                }
                QThread::msleep(1);
                {
                    QMutexLocker l(&m);
                    order.append(i);
                    threads.insert(QThread::currentThread());
                }
                --running;
            });
        }
        QVERIFY(waitFor([&] {
            QMutexLocker l(&m);
            return order.size() == 20;
        }));
        QList<int> expected;
        for (int i = 0; i < 20; ++i) {
            expected.append(i);
        }
        QCOMPARE(order, expected);
        QCOMPARE(maxRunning.load(), 1);
        // All on the channel's one worker.
        QCOMPARE(pool->getThreadIndex(4, 0, 0), 0);
        QCOMPARE(threads.size(), 1);
    }

    void channelsRunInParallel() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 0, 0), channelMap(4, 0, 1)});
        // Each task waits for the other one to have started: both can only
        // succeed when they run at the same time.
        QSemaphore a, b;
        std::atomic<int> ok{0};
        std::atomic<int> finished{0};
        pool->submitTask(4, 0, 0, [&]() {
            a.release();
            ok += b.tryAcquire(1, 5000) ? 1 : 0;
            ++finished;
        });
        pool->submitTask(4, 0, 1, [&]() {
            b.release();
            ok += a.tryAcquire(1, 5000) ? 1 : 0;
            ++finished;
        });
        QVERIFY(waitFor([&] { return finished.load() == 2; }, 12000));
        QCOMPARE(ok.load(), 2);
    }

    // A channel without a worker is refused rather than run on worker 0
    // (another channel's); a channel that comes up later gets its own worker.
    void unknownChannelRefusedAndLaterChannelAdded() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 1, 1), channelMap(4, 0, 0)});
        std::atomic<QThread *> first{nullptr};
        std::atomic<QThread *> unknown{nullptr};
        std::atomic<QThread *> second{nullptr};
        QVERIFY(pool->submitTask(4, 1, 1, [&]() { first = QThread::currentThread(); }));
        QVERIFY(pool->submitTask(4, 0, 0, [&]() { second = QThread::currentThread(); }));
        QVERIFY(!pool->submitTask(4, 3, 5, [&]() { unknown = QThread::currentThread(); }));
        QVERIFY(waitFor([&] { return first && second; }));
        QVERIFY(second.load() != first.load());
        QCOMPARE(pool->getThreadIndex(4, 3, 5), 0);
        QVERIFY(LogCapture::lines().contains(
            "[ThreadPool] Warning: Channel not found: \"4_3_5\" , using first thread (round-robin)"));

        QCOMPARE(pool->addChannels({channelMap(4, 1, 1), channelMap(4, 3, 5)}), 1);
        QCOMPARE(pool->getThreadIndex(4, 3, 5), 2);
        QVERIFY(pool->submitTask(4, 3, 5, [&]() { unknown = QThread::currentThread(); }));
        QVERIFY(waitFor([&] { return unknown.load() != nullptr; }));
        QVERIFY(unknown.load() != first.load() && unknown.load() != second.load());
        QTest::qWait(50);
    }

    void duplicateChannelUsesLaterWorker() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 0, 0), channelMap(4, 0, 0)});
        QCOMPARE(pool->getThreadIndex(4, 0, 0), 1);
        std::atomic<bool> ran{false};
        pool->submitTask(4, 0, 0, [&]() { ran = true; });
        QVERIFY(waitFor([&] { return ran.load(); }));
    }

    void exceptionIsCaughtAndNextTaskRuns() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 0, 0)});
        std::atomic<bool> next{false};
        pool->submitTask(4, 0, 0, []() { throw std::runtime_error("boom"); });
        pool->submitTask(4, 0, 0, []() { throw 42; });
        pool->submitTask(4, 0, 0, ThreadPool::Task()); // empty: skipped silently
        pool->submitTask(4, 0, 0, [&]() { next = true; });
        QVERIFY(waitFor([&] { return next.load(); }));
        // Two failures: the empty task was passed over, not called.
        QCOMPARE(LogCapture::count("[ThreadPool] Thread 0 task failed with exception"), 2);
    }

    void cleanupDropsQueuedTasks() {
        auto pool = ThreadPool::instance();
        pool->init({channelMap(4, 0, 0), channelMap(4, 0, 1)});
        QSemaphore started;
        std::atomic<bool> firstDone{false};
        std::atomic<int> queuedRan{0};
        auto sentinel = std::make_shared<int>(0);
        pool->submitTask(4, 0, 0, [&]() {
            started.release();
            QThread::msleep(200);
            firstDone = true;
        });
        for (int i = 0; i < 5; ++i) {
            pool->submitTask(4, 0, 0, [&queuedRan, sentinel]() { ++queuedRan; });
        }
        QVERIFY(started.tryAcquire(1, 5000));
        LogCapture::clear();
        pool->cleanup();
        QVERIFY(firstDone.load());
        QCOMPARE(queuedRan.load(), 0);
        // The dropped tasks were destroyed, not leaked.
        QCOMPARE(sentinel.use_count(), 1L);
        QVERIFY(!pool->poolInitialized);
        // A worker's own start line may come in late; the clean-up's lines are
        // what is checked here.
        QStringList lines = LogCapture::lines();
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const QString &l) { return l.endsWith(" started"); }),
                    lines.end());
        QVERIFY(lines.size() >= 2);
        QCOMPARE(lines.first(), QString("[ThreadPool] Cleaning up 2 threads"));
        QCOMPARE(lines.last(), QString("[ThreadPool] Cleanup complete"));
        QVERIFY(!lines.contains("[ThreadPool] Warning: Thread did not stop within timeout"));

        // Submitting after the clean-up is refused again.
        pool->submitTask(4, 0, 0, [&queuedRan]() { ++queuedRan; });
        QThread::msleep(20);
        QCOMPARE(queuedRan.load(), 0);
    }

  private:
    std::unique_ptr<LogCapture> capture;
};

QTEST_GUILESS_MAIN(TestThreadPool)

#include "tst_threadpool.moc"
