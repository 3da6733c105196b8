// The bounded inflate against zlib's own uncompress2: a body inflates exactly when zlib inflates
// it whole within the cap, to the same bytes, and the buffer never grows past the cap.

#include "Compression.h"
#include "FuzzTarget.h"

#include <cstdlib>
#include <vector>
#include <zlib.h>

void FuzzSeeds(std::vector<QByteArray>& o_seeds)
{
    const auto seed = [&o_seeds](quint16 i_limit, const QByteArray& i_body, int i_level) {
        MemStream packed;
        CompressBody(i_body.constData(), size_t(i_body.size()), packed, i_level);
        o_seeds.push_back(QByteArray(reinterpret_cast<const char*>(&i_limit), 2) + packed.ToByteArray());
    };
    seed(1000, QByteArray("a shares list body"), 9);
    seed(1000, QByteArray(1000, 'x'), 9); // exactly at the cap
    seed(1000, QByteArray(1001, 'x'), 9); // one past it
    seed(0, QByteArray(), 9);
    seed(65535, QByteArray(50000, '\0'), 1);
    QByteArray mixed;
    for (int n = 0; n < 20000; ++n)
        mixed += char(n * 31 % 251);
    seed(40000, mixed, 5);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    if (i_size < 2)
        return 0;
    const size_t limit = size_t(ip_data[0]) | size_t(ip_data[1]) << 8;
    const uint8_t* body = ip_data + 2;
    const size_t length = i_size - 2;

    MemStream ours;
    const bool inflated = InflateBody(body, length, ours, limit);
    if (ours.GetCapacity() > std::max<size_t>(limit + 1, 256) && ours.GetCapacity() > 64 * 1024)
        std::abort(); // grew past the cap

    std::vector<Bytef> theirs(limit + 1);
    uLongf produced = theirs.size();
    uLong consumed = length;
    const int result = uncompress2(theirs.data(), &produced, body, &consumed);
    const bool whole = result == Z_OK && produced <= limit;
    if (inflated != whole)
        std::abort();
    if (inflated && (ours.GetLength() != produced || std::memcmp(ours.GetBuffer(), theirs.data(), produced) != 0))
        std::abort();
    return 0;
}
