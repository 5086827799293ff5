#include "gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::array<quint8, 10> kHeader{0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};

void appendLittleEndian(char *out, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace

const std::array<quint32, 256> &Gzip::table()
{
    static const std::array<quint32, 256> value = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return value;
}

quint32 Gzip::crc32(QByteArrayView data)
{
    const auto &t = table();
    quint32 crc = 0xFFFFFFFFU;
    for (const char ch : data)
        crc = t[(crc ^ static_cast<quint8>(ch)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::optional<QByteArray> Gzip::compress(QByteArrayView data)
{
    const qsizetype n = data.size();
    if (n == 0 || n > std::numeric_limits<uInt>::max() / 2)
        return std::nullopt;
    const qsizetype capacity = n + n / 100 + 1024;

    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;

    QByteArray out(static_cast<qsizetype>(kHeader.size()) + capacity + 8, Qt::Uninitialized);
    std::memcpy(out.data(), kHeader.data(), kHeader.size());
    // zlib's interface is not const-correct; it never writes through next_in.
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(n);
    stream.next_out = reinterpret_cast<Bytef *>(out.data() + kHeader.size());
    stream.avail_out = static_cast<uInt>(capacity);
    // One pass over a buffer sized in advance: anything but a finished stream means it did not fit.
    const int rc = deflate(&stream, Z_FINISH);
    const auto deflated = static_cast<qsizetype>(stream.total_out);
    deflateEnd(&stream);
    if (rc != Z_STREAM_END || deflated == 0)
        return std::nullopt;

    char *trailer = out.data() + kHeader.size() + deflated;
    appendLittleEndian(trailer, crc32(data));
    appendLittleEndian(trailer + 4, static_cast<quint32>(static_cast<quint64>(n) & 0xFFFFFFFFU));
    out.truncate(static_cast<qsizetype>(kHeader.size()) + deflated + 8);
    return out;
}

std::optional<QByteArray> Gzip::decompress(QByteArrayView data, qsizetype maxSize)
{
    if (data.size() < 18 || data.size() > std::numeric_limits<uInt>::max())
        return std::nullopt;
    z_stream stream{};
    // 16 + 15: expect a gzip wrapper; zlib checks the header, the CRC-32 and the length trailer.
    if (inflateInit2(&stream, 16 + 15) != Z_OK)
        return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());

    QByteArray out;
    constexpr qsizetype kChunk = 64 * 1024;
    int rc = Z_OK;
    while (rc == Z_OK) {
        const qsizetype used = out.size();
        if (used >= maxSize) {
            rc = Z_MEM_ERROR;
            break;
        }
        const qsizetype room = std::min(kChunk, maxSize - used);
        out.resize(used + room);
        stream.next_out = reinterpret_cast<Bytef *>(out.data() + used);
        stream.avail_out = static_cast<uInt>(room);
        rc = inflate(&stream, Z_NO_FLUSH);
        out.resize(used + room - static_cast<qsizetype>(stream.avail_out));
        if (rc == Z_BUF_ERROR && stream.avail_in == 0)
            break;   // truncated input
        if (rc == Z_BUF_ERROR)
            rc = Z_OK;
    }
    inflateEnd(&stream);
    if (rc != Z_STREAM_END)
        return std::nullopt;
    return out;
}
