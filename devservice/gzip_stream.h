#pragma once
// Gzip (RFC 1952) reading and writing for HTTP bodies, on zlib's own gzip framing. It is deliberately
// independent of the client's hand-written framing so that the stand-in checks the client's bytes.
#include <QByteArray>
#include <QString>

namespace GzipStream {

struct Inflated {
    bool ok = false;
    bool tooLarge = false;
    QByteArray data;
    QString error; // why the body could not be read; never contains the encoding's name (see dev_service.cpp)
};

// Inflates exactly one gzip member: header, CRC-32 and length are checked, trailing bytes are an error.
[[nodiscard]] Inflated inflate(const QByteArray &compressed, qsizetype maxSize);

// A complete gzip member of the data (empty data gives an empty result).
[[nodiscard]] QByteArray compress(const QByteArray &data);

} // namespace GzipStream
