#include "TestSupport.h"

QByteArray hexBytes(const unsigned char* data, int size)
{
    return QByteArray(reinterpret_cast<const char*>(data), size).toHex(' ').toUpper();
}

QString releaseVersion()
{
    return QStringLiteral(LUMARO_TEST_RELEASE_VERSION);
}
