#include "ThreadPool.h"
#include "app_log_category.h"

#include <QMutexLocker>
#include <QVariantMap>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// QWaitCondition::wait releases and retakes the mutex inside Qt, which is not
// built with ThreadSanitizer; the tool must be told, or it believes the
// worker still holds the mutex during the wait. Nothing in other builds.
void waitForWork(QWaitCondition *condition, QMutex *mutex, unsigned long ms) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_unlock(mutex, 0);
    __tsan_mutex_post_unlock(mutex, 0);
#endif
    condition->wait(mutex, ms);
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(mutex, 0);
    __tsan_mutex_post_lock(mutex, 0, 0);
#endif
}

} // namespace

ThreadPool::ChannelWorkerThread::ChannelWorkerThread(int threadIndex, ThreadPool *pool)
    : threadIndex(threadIndex), pool(pool) {}

void ThreadPool::ChannelWorkerThread::run() {
    qCDebug(lcApp) << "[ThreadPool] Worker thread" << threadIndex << "started";
    if (threadIndex < 0 || mutex == nullptr || condition == nullptr || queue == nullptr) {
        qCWarning(lcApp) << "[ThreadPool] Error: Invalid thread index" << threadIndex;
        finished.store(true, std::memory_order_release);
        return;
    }

    while (!stopRequested.load()) {
        Task task;
        {
            QMutexLocker locker(mutex);
            bool leave = false;
            while (queue->isEmpty()) {
                if (stopRequested.load()) {
                    leave = true;
                    break;
                }
                waitForWork(condition, mutex, 100);
            }
            if (leave) {
                break;
            }
            task = queue->dequeue();
        }
        if (!task) {
            continue;
        }
        qCDebug(lcApp) << "[ThreadPool] Thread" << threadIndex << "executing task";
        try {
            task();
            qCDebug(lcApp) << "[ThreadPool] Thread" << threadIndex << "task completed";
        }
#if defined(__GLIBCXX__)
        // A forced termination (QThread::terminate in cleanup) unwinds the
        // thread with this special exception; swallowing it aborts the
        // process, so it has to go on.
        catch (abi::__forced_unwind &) {
            throw;
        }
#endif
        catch (...) {
            qCWarning(lcApp) << "[ThreadPool] Thread" << threadIndex << "task failed with exception";
        }
    }
    qCDebug(lcApp) << "[ThreadPool] Worker thread" << threadIndex << "stopped";
    finished.store(true, std::memory_order_release);
}

ThreadPool *ThreadPool::instance() {
    // Created on first use on the main thread and kept for the whole run.
    static ThreadPool *pool = new ThreadPool();
    return pool;
}

QString ThreadPool::makeChannelKey(quint32 deviceType, quint32 deviceIndex, quint32 canChannel) {
    return QStringLiteral("%1_%2_%3").arg(deviceType).arg(deviceIndex).arg(canChannel);
}

void ThreadPool::init(const QList<QVariant> &channels) {
    if (poolInitialized) {
        qCInfo(lcApp) << "[ThreadPool] Already initialized, cleaning up first";
        cleanup();
    }
    if (channels.isEmpty()) {
        qCWarning(lcApp) << "[ThreadPool] No channels provided, cannot initialize";
        return;
    }
    qCInfo(lcApp) << "[ThreadPool] Initializing with" << channels.size() << "channels";

    for (int i = 0; i < channels.size(); ++i) {
        startWorker(channels.at(i).toMap());
    }

    poolInitialized = true;
    qCInfo(lcApp) << "[ThreadPool] Initialization complete, created" << threads.size() << "worker threads";
}

void ThreadPool::startWorker(const QVariantMap &map) {
    const int i = static_cast<int>(threads.size());
    const quint32 type = map.value(QStringLiteral("deviceType")).toUInt();
    const quint32 index = map.value(QStringLiteral("deviceIndex")).toUInt();
    const quint32 channel = map.value(QStringLiteral("canChannel")).toUInt();
    const QString key = makeChannelKey(type, index, channel);

    taskQueues.append(new TaskQueue());
    mutexes.append(new QMutex());
    conditions.append(new QWaitCondition());

    auto *worker = new ChannelWorkerThread(i, this);
    worker->mutex = mutexes.at(i);
    worker->condition = conditions.at(i);
    worker->queue = taskQueues.at(i);
    threads.append(worker);

    channelToThread.insert(key, i);
    qCInfo(lcApp) << "[ThreadPool] Created thread" << i << "for channel" << key << "(Type=" << type
                  << ", Index=" << index << ", Ch=" << channel << ")";
    worker->start();
}

int ThreadPool::addChannels(const QList<QVariant> &channels) {
    if (!poolInitialized) {
        init(channels);
        return poolInitialized ? static_cast<int>(threads.size()) : 0;
    }
    int added = 0;
    for (const QVariant &v : channels) {
        const QVariantMap map = v.toMap();
        const QString key = makeChannelKey(map.value(QStringLiteral("deviceType")).toUInt(),
                                           map.value(QStringLiteral("deviceIndex")).toUInt(),
                                           map.value(QStringLiteral("canChannel")).toUInt());
        if (!channelToThread.contains(key)) {
            startWorker(map);
            ++added;
        }
    }
    return added;
}

int ThreadPool::getThreadIndex(quint32 deviceType, quint32 deviceIndex, quint32 canChannel) {
    const QString key = makeChannelKey(deviceType, deviceIndex, canChannel);
    const auto it = channelToThread.constFind(key);
    if (it != channelToThread.constEnd()) {
        return it.value();
    }
    // The line keeps its established wording, but no task is ever run on
    // worker 0 for a channel it does not serve: submitTask refuses such a
    // channel before it asks for an index. 0 is only the answer to a caller
    // that asks about a channel without a worker.
    qCWarning(lcApp) << "[ThreadPool] Warning: Channel not found:" << key
                     << ", using first thread (round-robin)";
    return threads.isEmpty() ? -1 : 0;
}

bool ThreadPool::submitTask(quint32 deviceType, quint32 deviceIndex, quint32 canChannel, Task task) {
    if (!poolInitialized) {
        qCWarning(lcApp) << "[ThreadPool] Error: Thread pool not initialized";
        return false;
    }
    if (!channelToThread.contains(makeChannelKey(deviceType, deviceIndex, canChannel))) {
        // Worker 0 serves another channel: running the task there would put
        // its CAN work and waits in that channel's queue.
        qCWarning(lcApp) << "[ThreadPool] Error: Channel not found:"
                         << makeChannelKey(deviceType, deviceIndex, canChannel) << ", task refused";
        return false;
    }
    const int i = getThreadIndex(deviceType, deviceIndex, canChannel);
    if (i < 0 || i >= taskQueues.size()) {
        qCWarning(lcApp) << "[ThreadPool] Error: Invalid thread index" << i;
        return false;
    }
    {
        QMutexLocker locker(mutexes.at(i));
        taskQueues.at(i)->enqueue(std::move(task));
    }
    conditions.at(i)->wakeOne();
    qCDebug(lcApp) << "[ThreadPool] Task submitted to thread" << i
                   << "(channel:" << makeChannelKey(deviceType, deviceIndex, canChannel) << ")";
    return true;
}

void ThreadPool::cleanup() {
    if (!poolInitialized) {
        return;
    }
    qCInfo(lcApp) << "[ThreadPool] Cleaning up" << threads.size() << "threads";

    for (int i = 0; i < threads.size(); ++i) {
        ChannelWorkerThread *worker = threads.at(i);
        if (worker != nullptr && worker->isRunning()) {
            // Set under the queue's lock so the worker cannot miss the wake-up
            // between its empty-queue test and its wait.
            QMutexLocker locker(mutexes.at(i));
            worker->stopRequested.store(true);
            conditions.at(i)->wakeAll();
        }
    }

    for (int i = 0; i < threads.size(); ++i) {
        ChannelWorkerThread *worker = threads.at(i);
        if (worker == nullptr) {
            continue;
        }
        bool finished = worker->wait(5000);
        if (!finished) {
            qCWarning(lcApp) << "[ThreadPool] Warning: Thread did not stop within timeout";
            worker->terminate();
            finished = worker->wait(1000);
        }
        // QThread::wait() synchronises inside Qt; the acquire load pairs
        // with the worker's last store so the deletion is ordered after
        // everything the worker did, for any checker too.
        if (finished && worker->finished.load(std::memory_order_acquire)) {
            delete worker;
            delete taskQueues.at(i);
            delete mutexes.at(i);
            delete conditions.at(i);
        }
        // A thread that still runs may not be deleted (that aborts the
        // process), and it still uses its queue, mutex and condition: all
        // four are left alive rather than freed under it.
    }
    threads.clear();
    taskQueues.clear();
    mutexes.clear();
    conditions.clear();
    channelToThread.clear();

    poolInitialized = false;
    qCInfo(lcApp) << "[ThreadPool] Cleanup complete";
}

ThreadPool::~ThreadPool() {
    cleanup();
}
