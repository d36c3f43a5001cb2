#include "TestSupport.h"

QByteArray hexBytes(const unsigned char* data, int size)
{
    return QByteArray(reinterpret_cast<const char*>(data), size).toHex(' ').toUpper();
}

QString releaseVersion()
{
    return QStringLiteral(LUMARO_TEST_RELEASE_VERSION);
}

std::vector<std::uint8_t> garbagePattern(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(0x40 + i * 7);
    return bytes;
}
