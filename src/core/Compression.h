#pragma once

#include "MemStream.h"

#include <cstddef>

// Inflated bodies larger than this are refused: a peer's few kilobytes must not cost gigabytes.
constexpr size_t kMaxInflatedSize = size_t(256) * 1024 * 1024;

constexpr int kBodyCompressionLevel = 9;

// Appends the zlib stream of the body to o_out: compress2 into a buffer of twice the body length
// plus 12 bytes, or, past a megabyte, blocks compressed on several cores into one stream. On a
// zlib error nothing is appended and false is returned.
bool CompressBody(const void* ip_data, size_t i_length, MemStream& o_out, int i_level = kBodyCompressionLevel);
bool CompressBody(const MemStream& i_body, MemStream& o_out, int i_level = kBodyCompressionLevel);

// Appends the zlib stream of i_prefix followed by a body whose own zlib stream (from CompressBody)
// is i_stream and which inflates to i_bodyLength bytes: the prefix goes in a stored block ahead of
// the body's deflate data, so a body compressed once can go out behind a few bytes that change.
// False, with nothing appended, when i_stream is no such stream or the prefix passes 65,535 bytes.
bool CompressBehindPrefix(const void* ip_prefix, size_t i_prefixLength, const void* ip_stream, size_t i_streamLength,
                          size_t i_bodyLength, MemStream& o_out);

// Inflates one complete zlib stream and appends the bytes to o_out. A broken or truncated
// stream, or one that inflates past i_limit, gives false and leaves o_out as it was. The
// output grows with what the stream really yields; nothing is allocated up front from a guess.
bool InflateBody(const void* ip_data, size_t i_length, MemStream& o_out, size_t i_limit = kMaxInflatedSize);
// Inflates the unread bytes of i_in (e.g. a message after its code).
bool InflateBody(const MemStream& i_in, MemStream& o_out, size_t i_limit = kMaxInflatedSize);
