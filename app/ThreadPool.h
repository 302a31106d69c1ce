// One worker thread per configured CAN channel. Tasks of one channel run one
// after another in submission order; different channels run in parallel.
#ifndef THREADPOOL_H
#define THREADPOOL_H

#include <QHash>
#include <QList>
#include <QMutex>
#include <QQueue>
#include <QString>
#include <QThread>
#include <QVariant>
#include <QWaitCondition>

#include <atomic>
#include <functional>

class ThreadPool {
  public:
    using Task = std::function<void()>;
    using TaskQueue = QQueue<Task>;

    class ChannelWorkerThread : public QThread {
      public:
        ChannelWorkerThread(int threadIndex, ThreadPool *pool);

        int threadIndex;
        ThreadPool *pool;
        // Written by the main thread, polled by the worker.
        std::atomic<bool> stopRequested{false};
        // Set as the last step of run(), when the thread touches nothing of
        // the pool any more.
        std::atomic<bool> finished{false};

      private:
        friend class ThreadPool;
        // Handed over before start: the pool's lists grow on the main thread
        // while earlier workers already run, so a worker never reads them.
        QMutex *mutex = nullptr;
        QWaitCondition *condition = nullptr;
        TaskQueue *queue = nullptr;

      protected:
        void run() override;
    };

    static ThreadPool *instance();
    static QString makeChannelKey(quint32 deviceType, quint32 deviceIndex, quint32 canChannel);

    void init(const QList<QVariant> &channels);
    // Gives every channel of the list that has no worker yet its own worker
    // (initialising the pool when it is not); returns the number added.
    int addChannels(const QList<QVariant> &channels);
    // The worker of a channel; 0 for a channel without one (tasks for such a
    // channel are refused, not given to worker 0), -1 with no workers.
    int getThreadIndex(quint32 deviceType, quint32 deviceIndex, quint32 canChannel);
    // False when the task was dropped: pool not initialised, or a channel
    // without a worker (its task would otherwise share another channel's).
    bool submitTask(quint32 deviceType, quint32 deviceIndex, quint32 canChannel, Task task);
    void cleanup();
    bool isInitialized() const { return poolInitialized; }

    ~ThreadPool();

    bool poolInitialized = false;

  private:
    ThreadPool() = default;
    void startWorker(const QVariantMap &map);
    ThreadPool(const ThreadPool &) = delete;
    ThreadPool &operator=(const ThreadPool &) = delete;

    QList<ChannelWorkerThread *> threads;
    QList<TaskQueue *> taskQueues;
    QList<QMutex *> mutexes;
    QList<QWaitCondition *> conditions;
    QHash<QString, int> channelToThread;
};

#endif
