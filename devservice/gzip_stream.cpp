#include "gzip_stream.h"

#include <zlib.h>

#include <limits>

namespace {

// zlib's gzip-only mode: 15 window bits plus 16.
constexpr int kGzipWindowBits = 15 + 16;

} // namespace

GzipStream::Inflated GzipStream::inflate(const QByteArray &compressed, qsizetype maxSize)
{
    Inflated result;
    if (compressed.isEmpty()) {
        result.error = QStringLiteral("the compressed body is empty");
        return result;
    }
    if (compressed.size() > std::numeric_limits<uInt>::max()) {
        result.tooLarge = true;
        result.error = QStringLiteral("the compressed body is too large");
        return result;
    }
    z_stream zs{};
    if (inflateInit2(&zs, kGzipWindowBits) != Z_OK) {
        result.error = QStringLiteral("inflater could not start");
        return result;
    }
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.constData()));
    zs.avail_in = static_cast<uInt>(compressed.size());

    QByteArray out;
    char chunk[64 * 1024];
    int rc = Z_OK;
    bool truncated = false;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef *>(chunk);
        zs.avail_out = sizeof chunk;
        rc = ::inflate(&zs, Z_NO_FLUSH);
        const auto produced = static_cast<qsizetype>(sizeof chunk - zs.avail_out);
        if (out.size() + produced > maxSize) {
            inflateEnd(&zs);
            result.tooLarge = true;
            result.error = QStringLiteral("the decompressed body exceeds %1 bytes").arg(maxSize);
            return result;
        }
        out.append(chunk, produced);
        truncated = rc == Z_BUF_ERROR && zs.avail_in == 0;
    }
    const QString message = truncated ? QStringLiteral("the stream ends before its trailer")
                            : zs.msg  ? QString::fromLatin1(zs.msg)
                                      : QStringLiteral("zlib error %1").arg(rc);
    const uInt unread = zs.avail_in;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        result.error = QStringLiteral("the compressed body is corrupt (%1)").arg(message);
        return result;
    }
    if (unread != 0) {
        result.error = QStringLiteral("%1 bytes follow the end of the compressed member").arg(unread);
        return result;
    }
    result.ok = true;
    result.data = out;
    return result;
}

QByteArray GzipStream::compress(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > std::numeric_limits<uInt>::max())
        return {};
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out;
    out.resize(static_cast<qsizetype>(deflateBound(&zs, static_cast<uLong>(data.size()))));
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    const auto written = static_cast<qsizetype>(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        return {};
    out.resize(written);
    return out;
}
