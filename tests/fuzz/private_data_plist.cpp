// The user's private-data file as the model reads it: any bytes, XML or
// binary property list, damaged or hostile, give entries or a refusal.
#include <QByteArray>
#include <QMap>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "model/qt/PrivateDataStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QMap<QString, QString> out;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!ParsePrivateDataPlist(bytes, out) && !out.isEmpty()) __builtin_trap();
    return 0;
}
