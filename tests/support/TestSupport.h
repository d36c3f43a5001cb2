#pragma once

#include <QByteArray>

// Bytes as "00 A5 E1 5A 1E", for comparisons whose failures print readably.
QByteArray hexBytes(const unsigned char* data, int size);
