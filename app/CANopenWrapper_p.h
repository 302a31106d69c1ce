// Internals shared by the controller's source files.
#ifndef CANOPENWRAPPER_P_H
#define CANOPENWRAPPER_P_H

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include "CO_driver_target.h"

namespace ostrelo {

// One lock per CAN channel, held by whoever exchanges frames on the channel:
// a worker task for its whole run, the main thread's single-motor hold, and
// the hold groups around each request/answer pair. The client API keeps one
// context, SDO client and pair of receive queues per channel and no locks of
// its own, so this is what keeps two threads off one channel. The mutexes
// live for the whole process (workers may still run at exit). Nobody holds
// two of them at once, so they cannot deadlock against each other.
QMutex *channelLock(const CO_CANdeviceConfig_t &channel);

// Throws away the frames waiting on the channel's raw path. The queries of a
// scan, a status probe and the CRC check each judge the first frame they
// receive; a leftover frame (for example the acknowledgement of an earlier
// start-application command, which nobody waits for) would otherwise fail
// the query of a motor that answers correctly. Call with the channel's lock
// held.
void discardStaleFrames(const CO_CANdeviceConfig_t &channel);

// Queued calls from a worker reach the main thread through Qt's posted-event
// queue, whose lock lives inside Qt. With ThreadSanitizer (and Debian's
// uninstrumented Qt) the hand-over is announced here, just before posting,
// and accepted in CANopenWrapper::event on delivery, so everything the
// worker prepared for the call is seen as ordered. Nothing in other builds.
inline void announceHandOver(const void *receiver) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void *>(receiver));
#else
    (void)receiver;
#endif
}

inline void acceptHandOver(const void *receiver) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void *>(receiver));
#else
    (void)receiver;
#endif
}

} // namespace ostrelo

#endif
