// Shared set-up of the controller tests: a clean process-wide state (worker
// pool, channel store, discovered motors, file cache) before every test, the
// log collected, a bench of simulated motors, channels brought up and
// scanned, firmware images and an ordered record of the controller's signals.
#ifndef CONTROLLER_FIXTURE_H
#define CONTROLLER_FIXTURE_H

#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>
#include <vector>

#include "CANopenWrapper.h"
#include "ThreadPool.h"
#include "client_api.h"
#include "log_capture.h"
#include "sim_bench.h"

namespace fixture {

// Process-wide state back to empty; the pool's workers must be idle.
inline void resetWorld() {
    // The adapter stand-in picks its transport (and loads the default bench)
    // on first use; do that now so a bench loaded by the test stays.
    controlcan_get_transport();
    ThreadPool::instance()->cleanup();
    client_api_manager_cleanup_all();
    client_api_clear_file_cache();
    {
        QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
        client_api_clear_discovered_motors();
    }
    // The program runs the bench timed; OSTRELO_TEST_SIM_INSTANT=1 drops the
    // bus timing for slow instrumented builds (ThreadSanitizer), where the
    // 20 ms answer window of the identity queries is too tight.
    sim_bench_set_timing(qEnvironmentVariableIntValue("OSTRELO_TEST_SIM_INSTANT") == 1 ? 0 : 1);
    sim_bench_set_operator(0, SIM_DEFAULT_OPERATOR_STOP_MS, SIM_DEFAULT_OPERATOR_OFF_MS);
}

inline sim_motor_config_t motor(uint32_t adapter, uint32_t channel, uint8_t node, uint8_t type = 9,
                                uint8_t encoder = 1, uint8_t brake = 0, uint32_t version = 0x01000000) {
    sim_motor_config_t m;
    sim_motor_config_init(&m);
    m.adapter = adapter;
    m.channel = channel;
    m.node = node;
    m.motorType = type;
    m.encoderType = encoder;
    m.brakeType = brake;
    m.version = version;
    return m;
}

// A bench of two adapters with two 1000 kbit/s channels each and the given
// motors.
inline void loadBench(const std::vector<sim_motor_config_t> &motors) {
    sim_bench_reset();
    for (uint32_t a = 0; a < 2; ++a) {
        sim_bench_add_adapter(a, 2);
        for (uint32_t c = 0; c < 2; ++c) {
            sim_bench_add_segment(a, c, 1000);
        }
    }
    for (const auto &m : motors) {
        QVERIFY(sim_bench_add_motor(&m) == 1);
    }
}

inline QVariantMap channelItem(unsigned adapter, unsigned channel, bool enabled = true) {
    QVariantMap m;
    m.insert("enabled", enabled);
    m.insert("deviceType", 4u);
    m.insert("deviceIndex", adapter);
    m.insert("canChannel", channel);
    m.insert("bitrate", 1000u);
    return m;
}

// Writes an image of `bodySize` bytes plus the bench's trailer carrying
// `version`; returns its path.
inline QString writeFirmware(const QString &dir, const QString &name, uint32_t version, int bodySize) {
    std::vector<uint8_t> image(static_cast<size_t>(bodySize) + SIM_TRAILER_LEN);
    QRandomGenerator gen(version ^ static_cast<quint32>(bodySize));
    for (int i = 0; i < bodySize; ++i) {
        image[static_cast<size_t>(i)] = static_cast<uint8_t>(gen.generate());
    }
    sim_image_make_trailer(image.data(), static_cast<size_t>(bodySize), version, image.data() + bodySize);
    const QString path = QDir(dir).filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        return QString();
    }
    f.write(reinterpret_cast<const char *>(image.data()), static_cast<qint64>(image.size()));
    return path;
}

inline int rowOf(MotorListModel *m, unsigned nodeId) {
    for (int r = 0; r < m->rowCount(); ++r) {
        if (m->data(m->index(r, 0), MotorListModel::NodeIdRole).toUInt() == nodeId) {
            return r;
        }
    }
    return -1;
}

inline QString versionOf(MotorListModel *m, unsigned nodeId) {
    const int r = rowOf(m, nodeId);
    return r < 0 ? QString() : m->data(m->index(r, 0), MotorListModel::VersionRole).toString();
}

// Every signal of the controller, in the order it arrives on the main thread.
class SignalRecord : public QObject {
  public:
    explicit SignalRecord(CANopenWrapper *w) {
        connect(w, &CANopenWrapper::statusMessageChanged, this,
                [this](const QString &s) { add("status|" + s); });
        connect(w, &CANopenWrapper::initializedChanged, this, [this]() { add("initializedChanged"); });
        connect(w, &CANopenWrapper::scanCompleted, this,
                [this](int n) { add(QString("scanCompleted|%1").arg(n)); });
        connect(w, &CANopenWrapper::motorsListUpdated, this, [this]() { add("motorsListUpdated"); });
        connect(w, &CANopenWrapper::scanProgress, this,
                [this](int p, const QString &s) { add(QString("scanProgress|%1|%2").arg(p).arg(s)); });
        connect(w, &CANopenWrapper::channelScanProgress, this, [this](int c, int p, const QString &s) {
            add(QString("channelScanProgress|%1|%2|%3").arg(c).arg(p).arg(s));
        });
        connect(w, &CANopenWrapper::channelScanCompleted, this,
                [this](int c, int n) { add(QString("channelScanCompleted|%1|%2").arg(c).arg(n)); });
        connect(w, &CANopenWrapper::upgradeProgressPercent, this,
                [this](unsigned n, int p, const QString &s) {
                    add(QString("upgradeProgress|%1|%2|%3").arg(n).arg(p).arg(s));
                });
        connect(w, &CANopenWrapper::upgradeCompleted, this,
                [this](unsigned n, bool ok) { add(QString("upgradeCompleted|%1|%2").arg(n).arg(ok)); });
        connect(w, &CANopenWrapper::motorStatusChanged, this,
                [this](unsigned n, const QString &s) { add(QString("motorStatus|%1|%2").arg(n).arg(s)); });
        connect(w, &CANopenWrapper::motorStatusRefreshed, this,
                [this](unsigned n, const QString &s) { add(QString("refreshed|%1|%2").arg(n).arg(s)); });
        connect(w, &CANopenWrapper::preventAppStartAllProgress, this,
                [this](unsigned n, bool ok) { add(QString("holdProgress|%1|%2").arg(n).arg(ok)); });
        connect(w, &CANopenWrapper::preventAppStartAllCompleted, this,
                [this](int s, int t) { add(QString("holdCompleted|%1|%2").arg(s).arg(t)); });
    }

    QStringList all() const { return events; }
    QStringList withPrefix(const QString &prefix) const {
        QStringList out;
        for (const QString &e : events) {
            if (e.startsWith(prefix)) {
                out.append(e);
            }
        }
        return out;
    }
    bool has(const QString &event) const { return events.contains(event); }
    void clear() { events.clear(); }

  private:
    void add(const QString &e) { events.append(e); }
    QStringList events;
};

// The base of the controller test classes: every test starts from a clean
// process-wide state with an empty log. A class that needs more in its
// init() calls ControllerTest::init() first.
class ControllerTest : public QObject {
    Q_OBJECT

  protected slots:
    void initTestCase() { capture.reset(new LogCapture); }
    void cleanupTestCase() {
        resetWorld();
        capture.reset();
    }
    void init() {
        resetWorld();
        LogCapture::clear();
        // Each test its own empty upgrade history: a motor one test left in
        // its bootloader after a failed upgrade must not be recovered in the next.
        scratch.reset(new QTemporaryDir);
        qputenv("OSTRELO_HISTORY", QFile::encodeName(scratch->filePath("history.sqlite")));
    }

  protected:
    // The channels of `items` brought up through the controller (zhcx backend).
    static void configure(CANopenWrapper &w, const QVariantList &items) {
        w.setBackendZhcx();
        QCOMPARE(w.setChannelConfigs(items), items.size());
        QCOMPARE(w.applyChannelConfigs(), items.size());
    }
    // A scan of node ids `from` to `to` on every channel that is up, to its end.
    static void scan(CANopenWrapper &w, unsigned from, unsigned to, unsigned timeoutMs = 1000) {
        QSignalSpy done(&w, &CANopenWrapper::scanCompleted);
        w.scanMotorsOnAllChannels(from, to, timeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(done.count() == 1, 20000);
    }

  private:
    std::unique_ptr<LogCapture> capture;
    std::unique_ptr<QTemporaryDir> scratch;
};

} // namespace fixture

#endif
