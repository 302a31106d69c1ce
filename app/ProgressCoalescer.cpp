#include "ProgressCoalescer.h"

#include <QList>
#include <QMutexLocker>
#include <QPair>

#include "CANopenWrapper_p.h"

ProgressCoalescer::ProgressCoalescer(Deliver deliver, int intervalMs, QObject *parent)
    : QObject(parent), m_deliver(std::move(deliver)), m_intervalMs(intervalMs), m_timer(this) {
    m_clock.start();
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &ProgressCoalescer::deliverDue);
}

bool ProgressCoalescer::event(QEvent *e) {
    ostrelo::acceptHandOver();
    return QObject::event(e);
}

void ProgressCoalescer::post(unsigned int nodeId, quint64 transferred, quint64 total) {
    bool now = false;
    bool startTimer = false;
    {
        QMutexLocker locker(&m_mutex);
        Slot &slot = m_slots[nodeId];
        const qint64 t = m_clock.elapsed();
        // A value below the last one starts a new transfer: it goes at once, like a first.
        const bool restarted = transferred < slot.transferred;
        now = !slot.delivered || restarted || transferred >= total || t - slot.lastMs >= m_intervalMs;
        slot.transferred = transferred;
        slot.total = total;
        if (now) {
            slot.delivered = true;
            slot.lastMs = t;
        }
        // An immediate value is handed over by its own queued call, which
        // reaches the main thread before any later step of this worker.
        slot.pending = true;
        if (!now && !m_timerWanted) {
            m_timerWanted = true;
            startTimer = true;
        }
    }
    [[maybe_unused]] ostrelo::HandOverGuard handOver;
    if (now) {
        QMetaObject::invokeMethod(
            this, [this, nodeId]() { deliverNow(nodeId); }, Qt::QueuedConnection);
    } else if (startTimer) {
        QMetaObject::invokeMethod(
            this, [this]() { m_timer.start(); }, Qt::QueuedConnection);
    }
}

void ProgressCoalescer::deliverNow(unsigned int nodeId) {
    quint64 transferred = 0;
    quint64 total = 0;
    {
        QMutexLocker locker(&m_mutex);
        auto it = m_slots.find(nodeId);
        if (it == m_slots.end() || !it->pending) {
            return;
        }
        it->pending = false;
        transferred = it->transferred;
        total = it->total;
    }
    m_deliver(nodeId, transferred, total);
}

void ProgressCoalescer::deliverDue() {
    QList<QPair<unsigned int, QPair<quint64, quint64>>> due;
    {
        QMutexLocker locker(&m_mutex);
        const qint64 t = m_clock.elapsed();
        bool waiting = false;
        for (auto it = m_slots.begin(); it != m_slots.end(); ++it) {
            if (!it->pending) {
                continue;
            }
            if (t - it->lastMs < m_intervalMs) {
                waiting = true;
                continue;
            }
            it->pending = false;
            it->lastMs = t;
            due.append({it.key(), {it->transferred, it->total}});
        }
        if (!waiting) {
            m_timerWanted = false;
            m_timer.stop();
        }
    }
    for (const auto &d : due) {
        m_deliver(d.first, d.second.first, d.second.second);
    }
}

void ProgressCoalescer::flushPending() {
    {
        QMutexLocker locker(&m_mutex);
        bool any = false;
        for (const Slot &slot : std::as_const(m_slots)) {
            any = any || slot.pending;
        }
        if (!any) {
            return;
        }
    }
    [[maybe_unused]] ostrelo::HandOverGuard handOver;
    QMetaObject::invokeMethod(
        this, [this]() { deliverAll(); }, Qt::QueuedConnection);
}

void ProgressCoalescer::deliverAll() {
    QList<QPair<unsigned int, QPair<quint64, quint64>>> all;
    {
        QMutexLocker locker(&m_mutex);
        const qint64 t = m_clock.elapsed();
        for (auto it = m_slots.begin(); it != m_slots.end(); ++it) {
            if (it->pending) {
                it->pending = false;
                it->lastMs = t;
                all.append({it.key(), {it->transferred, it->total}});
            }
        }
    }
    for (const auto &d : all) {
        m_deliver(d.first, d.second.first, d.second.second);
    }
}
