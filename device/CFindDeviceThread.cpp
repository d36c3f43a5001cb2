#include "CFindDeviceThread.h"

CFindDeviceThread::CFindDeviceThread(QObject* parent)
    : QThread(parent)
{
}

CFindDeviceThread::~CFindDeviceThread() = default;

void CFindDeviceThread::run()
{
    // The period does not depend on how long a pass takes. A request is made only when the last
    // one has been answered: behind a pass slower than the period, or a flash, one request per
    // period would pile up and be run back to back, and the window would answer nothing else, not
    // even Close. A flash is still followed by a pass.
    while (!m_stop_polling.load(std::memory_order_relaxed)) {
        if (!m_pass_asked.exchange(true, std::memory_order_acq_rel))
            emit FindDevice_Signal();
        msleep(kPollingPeriodMs);
    }
}
