// Internals shared by the controller's source files.
#ifndef CANOPENWRAPPER_P_H
#define CANOPENWRAPPER_P_H

#include <QMutex>
#include <QMutexLocker>

#include <shared_mutex>

#if defined(__SANITIZE_THREAD__)
#include <mutex>
#endif

#include "CO_driver_target.h"

namespace ostrelo {

// One lock per CAN channel, held by whoever exchanges frames on the channel:
// a worker task for its whole run, the main thread's single-motor hold, and
// the hold groups around each request/answer pair. The client API keeps one
// context, SDO client and pair of receive queues per channel and no locks of
// its own, so this is what keeps two threads off one channel. The mutexes
// are function-local statics: made on first use, never removed while the
// program runs, and destroyed with the other statics after main returns (a
// worker still running then must not take one). Nobody holds two of them at
// once, so they cannot deadlock against each other.
QMutex *channelLock(const CO_CANdeviceConfig_t &channel);

// Guards the channel store as a whole against its release: every user of a
// channel holds it shared (before its channel lock), and cleanupAll holds it
// exclusively while the client API frees every channel, so no worker is
// inside a channel when its queues and SDO client go away. A plain standard
// lock, so that checkers see it too.
std::shared_mutex &channelStoreLock();

// A worker's use of one channel: the store shared, then the channel's lock.
class ChannelUse {
  public:
    explicit ChannelUse(const CO_CANdeviceConfig_t &channel)
        : store(channelStoreLock()), locker(channelLock(channel)) {}

  private:
    std::shared_lock<std::shared_mutex> store;
    QMutexLocker<QMutex> locker;
};

// Queued calls from a worker reach the main thread through Qt's posted-event
// queue, whose lock lives inside Qt. Debian's Qt is not built with
// ThreadSanitizer, so in such builds the hand-over is made visible: the
// worker holds a plain mutex while it posts (Qt builds the event and copies
// the arguments inside that window), and the main thread passes through the
// same mutex before it handles any event of the controller. The worker does
// not wait for the main thread inside the window, so this cannot deadlock.
// Nothing of it exists in other builds.
#if defined(__SANITIZE_THREAD__)
std::mutex &handOverMutex();
class HandOverGuard {
  public:
    HandOverGuard() { handOverMutex().lock(); }
    ~HandOverGuard() { handOverMutex().unlock(); }
    HandOverGuard(const HandOverGuard &) = delete;
    HandOverGuard &operator=(const HandOverGuard &) = delete;
};
inline void acceptHandOver() {
    std::lock_guard<std::mutex> pass(handOverMutex());
}
#else
class HandOverGuard {
  public:
    HandOverGuard() = default;
    HandOverGuard(const HandOverGuard &) = delete;
    HandOverGuard &operator=(const HandOverGuard &) = delete;
};
inline void acceptHandOver() {}
#endif

} // namespace ostrelo

#endif
