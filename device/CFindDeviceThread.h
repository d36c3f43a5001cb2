#pragma once

#include <QThread>

#include <atomic>

// Asks the updater window to look for the controller twice a second, from its own thread, until
// told to stop. It does no device work itself: every pass runs on the GUI thread.
class CFindDeviceThread : public QThread {
    Q_OBJECT

public:
    explicit CFindDeviceThread(QObject* parent = nullptr);
    ~CFindDeviceThread() override;

    static constexpr unsigned long kPollingPeriodMs = 500;

    // Written once by the GUI thread, read by the polling loop before every emission.
    std::atomic<bool> m_stop_polling{false};

    // Called by the receiver when a pass it was asked for has ended; until then no other is asked
    // for.
    void passEnded() { m_pass_asked.store(false, std::memory_order_release); }

signals:
    void FindDevice_Signal();

protected:
    void run() override;

private:
    std::atomic<bool> m_pass_asked{false};
};
