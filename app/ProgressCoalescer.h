// Transfer progress from the channel workers, handed to the main thread at
// most once per interval and motor. A block transfer reports after every few
// frames; with many channels at once that would be thousands of queued calls
// a second for the window. The first value of a motor and the end of its
// transfer (everything moved) go at once; a value in between waits for the
// motor's next slot, and a newer one replaces it, so the last value is never
// lost. A value held back goes out before the next step its worker hands to
// the main thread (flushPending), so a row never shows an older value after
// a newer step.
#ifndef PROGRESSCOALESCER_H
#define PROGRESSCOALESCER_H

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QTimer>

#include <functional>

class ProgressCoalescer : public QObject {
    Q_OBJECT

  public:
    // Runs on the main thread for every value handed over.
    using Deliver = std::function<void(unsigned int nodeId, quint64 transferred, quint64 total)>;

    explicit ProgressCoalescer(Deliver deliver, int intervalMs = 100, QObject *parent = nullptr);

    // Any thread; never waits for the main thread.
    void post(unsigned int nodeId, quint64 transferred, quint64 total);
    // Any thread: the values still held back go out now, ahead of whatever
    // the calling thread hands to the main thread next (a worker's next step
    // must not be overtaken by its own older progress).
    void flushPending();

  protected:
    bool event(QEvent *e) override;

  private:
    struct Slot {
        quint64 transferred = 0;
        quint64 total = 0;
        bool pending = false;
        bool delivered = false; // a value went out since the motor started
        qint64 lastMs = 0;      // when the last value went out (or was sent on its way)
    };
    void deliverNow(unsigned int nodeId);
    void deliverDue();
    void deliverAll();

    Deliver m_deliver;
    const int m_intervalMs;
    QElapsedTimer m_clock;
    QTimer m_timer;

    // Guards the slots and the timer flag; the worker threads post here.
    QMutex m_mutex;
    QHash<unsigned int, Slot> m_slots;
    bool m_timerWanted = false;
};

#endif
