#include "Compression.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

bool CompressBody(const void* ip_data, size_t i_length, MemStream& o_out)
{
    uLongf outLength = static_cast<uLongf>(2 * i_length + 12);
    char* target = o_out.ReserveForWrite(outLength);
    const int result = compress2(reinterpret_cast<Bytef*>(target), &outLength,
                                 static_cast<const Bytef*>(ip_data), static_cast<uLong>(i_length), 9);
    if (result != Z_OK)
        return false;
    o_out.CommitWrite(outLength);
    return true;
}

bool CompressBody(const MemStream& i_body, MemStream& o_out)
{
    return CompressBody(i_body.GetBuffer(), i_body.GetLength(), o_out);
}

bool InflateBody(const void* ip_data, size_t i_length, MemStream& o_out, size_t i_limit)
{
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;

    const size_t startLength = o_out.GetLength();
    const Bytef* input = static_cast<const Bytef*>(ip_data);
    size_t inputLeft = i_length;
    size_t produced = 0;
    // Start near what a typical ratio gives and double; realloc grows large blocks in place.
    size_t chunk = std::clamp<size_t>(i_length * 4, 64 * 1024, 4 * 1024 * 1024);
    int result = Z_OK;

    while (result != Z_STREAM_END)
    {
        // One byte past the limit tells a stream that is exactly at the limit from one beyond it;
        // saturated, so that an unlimited cap does not wrap to no room at all.
        const size_t headroom = i_limit - produced;
        const size_t room = std::min(chunk, headroom == SIZE_MAX ? headroom : headroom + 1);
        char* target = o_out.ReserveForWrite(room);
        zs.next_out = reinterpret_cast<Bytef*>(target);
        zs.avail_out = static_cast<uInt>(std::min<size_t>(room, UINT_MAX));
        const uInt offered = zs.avail_out;

        if (zs.avail_in == 0 && inputLeft)
        {
            const size_t take = std::min<size_t>(inputLeft, UINT_MAX);
            zs.next_in = const_cast<Bytef*>(input);
            zs.avail_in = static_cast<uInt>(take);
            input += take;
            inputLeft -= take;
        }

        result = inflate(&zs, Z_NO_FLUSH);
        const size_t written = offered - zs.avail_out;
        o_out.CommitWrite(written);
        produced += written;

        if (produced > i_limit)
            break;
        if (result == Z_BUF_ERROR && zs.avail_in == 0 && inputLeft == 0)
            break;  // the stream ends early
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            break;  // broken data
        if (zs.avail_out == 0 && chunk < (size_t(64) << 20))
            chunk *= 2;
    }

    inflateEnd(&zs);
    if (result != Z_STREAM_END || produced > i_limit)
    {
        o_out.Truncate(startLength);
        return false;
    }
    return true;
}

bool InflateBody(const MemStream& i_in, MemStream& o_out, size_t i_limit)
{
    return InflateBody(i_in.GetReadPointer(), i_in.BytesLeft(), o_out, i_limit);
}
