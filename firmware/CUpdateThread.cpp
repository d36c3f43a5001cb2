#include "CUpdateThread.h"

#include "FirmwareImage.h"

#include <QMetaType>

CUpdateThread::CUpdateThread(QObject* parent)
    : QThread(parent)
{
    // The queued connection carries the image address as a plain pointer value; the type must be
    // known by name for the cross-thread call.
    qRegisterMetaType<const unsigned char*>("const unsigned char*");
}

void CUpdateThread::run()
{
    emit update_signal(g_firmware_image);
}
