#pragma once
// Gzip framing (RFC 1952) for request bodies and answers: our own header, CRC-32 and trailer around zlib's raw
// DEFLATE stream, and inflating gzip answers (we ask for them, so the network stack leaves them to us).
#include <QByteArray>
#include <QByteArrayView>
#include <array>
#include <optional>

namespace Gzip {

// CRC-32 of each single byte with the reflected polynomial 0xEDB88320, built once per process.
[[nodiscard]] const std::array<quint32, 256> &table();

// The CRC-32 gzip prescribes (ISO 3309); 0 for empty input.
[[nodiscard]] quint32 crc32(QByteArrayView data);

// One complete gzip member; nullopt for empty input or when DEFLATE fails (the caller sends the body as it is).
[[nodiscard]] std::optional<QByteArray> compress(QByteArrayView data);

// Inflates one gzip member. nullopt when the data is not valid gzip, is truncated, fails its checksum or would
// inflate beyond maxSize bytes (a hostile answer must not exhaust memory).
inline constexpr qsizetype kDefaultMaxInflatedSize = 64 * 1024 * 1024;
[[nodiscard]] std::optional<QByteArray> decompress(QByteArrayView data, qsizetype maxSize = kDefaultMaxInflatedSize);

} // namespace Gzip
