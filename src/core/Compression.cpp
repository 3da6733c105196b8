#include "Compression.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace
{
// Bodies up to this size go through one compress2 call; larger ones are split over the cores, so
// that a large shares list does not hold the thread that answers peers for seconds. Receivers
// inflate exactly the body one compress2 call would have packed and cannot tell the difference
// (docs/compressed-messages.md).
constexpr size_t kParallelThreshold = size_t(1) << 20;
constexpr size_t kBlockSize = size_t(256) << 10;
constexpr size_t kWindow = size_t(32) << 10;
constexpr unsigned kMaxThreads = 8;

// One zlib stream made of raw deflate blocks compressed at once. Each block is primed with the
// window before it, so matches reach as far back as in a single pass and the size stays within a
// fraction of a percent of it; every block but the last ends on a byte boundary (sync flush), so
// the blocks simply follow one another. Receivers see an ordinary zlib stream.
bool CompressInBlocks(const Bytef* ip_data, size_t i_length, int i_level, MemStream& o_out)
{
    const size_t blockCount = (i_length + kBlockSize - 1) / kBlockSize;
    struct Block
    {
        std::vector<Bytef> deflated;
        uLong adler = 1;
        bool ok = false;
    };
    std::vector<Block> blocks(blockCount);
    std::atomic<size_t> next{0};

    auto work = [&] {
        z_stream zs{};
        if (deflateInit2(&zs, i_level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return;
        for (size_t index; (index = next++) < blockCount;)
        {
            const size_t start = index * kBlockSize;
            const size_t length = std::min(kBlockSize, i_length - start);
            Block& block = blocks[index];
            if (deflateReset(&zs) != Z_OK)
                continue;
            if (index > 0)
            {
                const size_t primed = std::min(kWindow, start);
                if (deflateSetDictionary(&zs, ip_data + start - primed, static_cast<uInt>(primed)) != Z_OK)
                    continue;
            }
            // Room for the sync flush's empty stored block beyond the bound.
            block.deflated.resize(deflateBound(&zs, static_cast<uLong>(length)) + 16);
            zs.next_in = const_cast<Bytef*>(ip_data + start);
            zs.avail_in = static_cast<uInt>(length);
            zs.next_out = block.deflated.data();
            zs.avail_out = static_cast<uInt>(block.deflated.size());
            const bool last = index + 1 == blockCount;
            const int result = deflate(&zs, last ? Z_FINISH : Z_SYNC_FLUSH);
            block.ok = (last ? result == Z_STREAM_END : result == Z_OK) && zs.avail_in == 0;
            block.deflated.resize(block.deflated.size() - zs.avail_out);
            block.adler = adler32(1, ip_data + start, static_cast<uInt>(length));
        }
        deflateEnd(&zs);
    };

    const unsigned threadCount = std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, kMaxThreads);
    std::vector<std::thread> threads;
    try
    {
        for (unsigned n = 1; n < std::min<size_t>(threadCount, blockCount); ++n)
            threads.emplace_back(work);
    }
    catch (const std::system_error&)
    {
        // No thread to be had: the blocks left are compressed here.
    }
    work();
    for (std::thread& thread : threads)
        thread.join();

    size_t total = 6;
    uLong adler = 1;
    for (size_t index = 0; index < blockCount; ++index)
    {
        if (!blocks[index].ok)
            return false;
        total += blocks[index].deflated.size();
        adler = adler32_combine(adler, blocks[index].adler,
                                static_cast<z_off_t>(std::min(kBlockSize, i_length - index * kBlockSize)));
    }

    // The two header bytes compress2 writes for this level (deflate, 32 KiB window), then the
    // blocks and the Adler-32 of the whole body, most significant byte first.
    const Bytef levelFlags = i_level >= 7                                       ? 3
                             : i_level == 6 || i_level == Z_DEFAULT_COMPRESSION ? 2
                             : i_level >= 2                                     ? 1
                                                                                : 0;
    const unsigned header = (0x78u << 8) | (levelFlags << 6);
    Bytef* out = reinterpret_cast<Bytef*>(o_out.ReserveForWrite(total));
    Bytef* p = out;
    *p++ = Bytef(header >> 8);
    *p++ = Bytef((header | ((31 - header % 31) % 31)) & 0xff);
    for (const Block& block : blocks)
        p = std::copy(block.deflated.begin(), block.deflated.end(), p);
    for (int shift = 24; shift >= 0; shift -= 8)
        *p++ = Bytef(adler >> shift);
    o_out.CommitWrite(total);
    return true;
}
} // namespace

bool CompressBody(const void* ip_data, size_t i_length, MemStream& o_out, int i_level)
{
    if (i_length > kParallelThreshold && i_length <= UINT_MAX)
        return CompressInBlocks(static_cast<const Bytef*>(ip_data), i_length, i_level, o_out);

    uLongf outLength = static_cast<uLongf>(2 * i_length + 12);
    char* target = o_out.ReserveForWrite(outLength);
    const int result = compress2(reinterpret_cast<Bytef*>(target), &outLength, static_cast<const Bytef*>(ip_data),
                                 static_cast<uLong>(i_length), i_level);
    if (result != Z_OK)
        return false;
    o_out.CommitWrite(outLength);
    return true;
}

bool CompressBody(const MemStream& i_body, MemStream& o_out, int i_level)
{
    return CompressBody(i_body.GetBuffer(), i_body.GetLength(), o_out, i_level);
}

bool CompressBehindPrefix(const void* ip_prefix, size_t i_prefixLength, const void* ip_stream, size_t i_streamLength,
                          size_t i_bodyLength, MemStream& o_out)
{
    const Bytef* stream = static_cast<const Bytef*>(ip_stream);
    // Two header bytes (deflate, no preset dictionary), deflate data, four bytes of Adler-32.
    if (i_prefixLength > 0xffff || i_streamLength < 7 || (stream[0] & 0x0f) != Z_DEFLATED || (stream[1] & 0x20) != 0
        || ((unsigned(stream[0]) << 8) | stream[1]) % 31 != 0)
        return false;
    const Bytef* tail = stream + i_streamLength - 4;
    const uLong bodyAdler = (uLong(tail[0]) << 24) | (uLong(tail[1]) << 16) | (uLong(tail[2]) << 8) | uLong(tail[3]);
    const uLong adler = adler32_combine(adler32(1, static_cast<const Bytef*>(ip_prefix), uInt(i_prefixLength)),
                                        bodyAdler, static_cast<z_off_t>(i_bodyLength));

    const size_t total = i_streamLength + 5 + i_prefixLength;
    Bytef* p = reinterpret_cast<Bytef*>(o_out.ReserveForWrite(total));
    p = std::copy(stream, stream + 2, p);
    // A stored block that is not the last: its header ends on a byte boundary, as does its data,
    // so the body's blocks follow as they are.
    *p++ = 0;
    *p++ = Bytef(i_prefixLength & 0xff);
    *p++ = Bytef(i_prefixLength >> 8);
    *p++ = Bytef(~i_prefixLength & 0xff);
    *p++ = Bytef((~i_prefixLength >> 8) & 0xff);
    p = std::copy(static_cast<const Bytef*>(ip_prefix), static_cast<const Bytef*>(ip_prefix) + i_prefixLength, p);
    p = std::copy(stream + 2, tail, p);
    for (int shift = 24; shift >= 0; shift -= 8)
        *p++ = Bytef(adler >> shift);
    o_out.CommitWrite(total);
    return true;
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
    // Doubling would take a body just under the cap to twice the cap.
    const size_t ceiling = i_limit < SIZE_MAX - startLength - 1 ? startLength + i_limit + 1 : SIZE_MAX;
    int result = Z_OK;

    while (result != Z_STREAM_END)
    {
        // One byte past the limit tells a stream that is exactly at the limit from one beyond it;
        // saturated, so that an unlimited cap does not wrap to no room at all.
        const size_t headroom = i_limit - produced;
        const size_t room = std::min(chunk, headroom == SIZE_MAX ? headroom : headroom + 1);
        char* target = o_out.ReserveForWrite(room, ceiling);
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
            break; // the stream ends early
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            break; // broken data
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
