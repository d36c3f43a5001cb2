#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

// The version of the firmware release the build was given, as users read it (M.mm): what the
// window says is compared with what the build was asked to make, not with the window's own source.
QString releaseVersion();

// Bytes as "00 A5 E1 5A 1E", for comparisons whose failures print readably.
QByteArray hexBytes(const unsigned char* data, int size);

// `size` bytes unlike any reply the controller sends, for the bus to hand over as a garbage reply.
std::vector<std::uint8_t> garbagePattern(std::size_t size);
