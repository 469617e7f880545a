// Any bytes given to the property-list reader: it must answer without crashing, say why when
// it refuses, and whatever it reads must write as XML that reads back to the same value.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Files are read into owned buffers, so the input gets one too.
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    auto value = readPropertyList(bytes, &error);
    if (!value) {
        if (error.isEmpty()) abort();
        return 0;
    }
    const QByteArray xml = writePropertyListXML(*value, &error);
    if (xml.isEmpty()) {
        if (error.isEmpty()) abort();
        return 0;  // a string holding NUL has no XML form
    }
    auto again = readPropertyList(xml, &error);
    if (!again) abort();
    if (writePropertyListXML(*again) != xml) abort();
    return 0;
}
