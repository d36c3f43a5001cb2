#pragma once

#include <QByteArray>
#include <QString>

// The version of the firmware release the build was given, as users read it (M.mm): what the
// window says is compared with what the build was asked to make, not with the window's own source.
QString releaseVersion();

// Bytes as "00 A5 E1 5A 1E", for comparisons whose failures print readably.
QByteArray hexBytes(const unsigned char* data, int size);
