#include "CFindDeviceThread.h"

CFindDeviceThread::CFindDeviceThread(QObject* parent)
    : QThread(parent)
{
}

CFindDeviceThread::~CFindDeviceThread() = default;

void CFindDeviceThread::run()
{
    // The period does not depend on how long a pass takes: emissions made while the GUI thread is
    // busy queue up there and are handled one pass each afterwards.
    while (!m_stop_polling.load(std::memory_order_relaxed)) {
        emit FindDevice_Signal();
        msleep(kPollingPeriodMs);
    }
}
