#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

class QIODevice;

// One frame on a server or peer connection is a uint32 length followed by that many payload bytes
// (the payload starts with the message code). The codec turns payloads into wire bytes and
// back; the scrambled variant of the peer network hides every frame behind a per-frame random key.
class FrameCodec
{
public:
    // Frames above this never get allocated; the connection carrying one is closed.
    static constexpr quint32 MaxFrameLength = 64u * 1024u * 1024u;

    enum class Status
    {
        Incomplete,
        Complete,
        Oversized
    };

    virtual ~FrameCodec() = default;

    static std::unique_ptr<FrameCodec> Create(bool i_scrambled);

    virtual bool IsScrambled() const = 0;

    // Appends the wire bytes of one frame carrying the payload.
    virtual void Encode(const char* ip_payload, int i_size, QByteArray& o_wire) = 0;
    void Encode(const QByteArray& i_payload, QByteArray& o_wire)
    {
        Encode(i_payload.constData(), i_payload.size(), o_wire);
    }

    // Takes exactly one complete frame off the device. Nothing beyond the frame is ever read,
    // so raw bytes that follow (the file bytes of a file connection) stay in the device. A frame
    // longer than i_maxLength is Oversized as soon as its length is known.
    Status Read(QIODevice& i_device, QByteArray& o_payload, quint32 i_maxLength = MaxFrameLength);

    // The frame at the front of the device, left there: its payload length, and, once they have
    // come, its first four payload bytes as a little-endian number (a peer message's code).
    // False while the header is incomplete; o_hasLead false while those four bytes are.
    bool Peek(QIODevice& i_device, quint32& o_length, bool& o_hasLead, quint32& o_lead) const;

    // The same over a buffer: on Complete, io_pos is advanced past the frame. o_payload keeps its
    // room, so a caller that passes the same one for every frame allocates once.
    Status Take(const QByteArray& i_buffer, int& io_pos, QByteArray& o_payload);

protected:
    // Bytes needed before the payload length is known (the length, plus the key when scrambled).
    virtual int HeaderSize() const = 0;
    virtual quint32 PayloadLength(const char* ip_header) const = 0;
    // Restores the payload that followed the header, in place.
    virtual void DecodePayload(const char* ip_header, char* iop_payload, int i_size) const = 0;
};

class PlainFrameCodec : public FrameCodec
{
public:
    static constexpr int kHeaderSize = 4;

    bool IsScrambled() const override { return false; }
    void Encode(const char* ip_payload, int i_size, QByteArray& o_wire) override;
    using FrameCodec::Encode;
    // The header of a plain frame of i_size bytes, for a caller that writes the payload itself.
    static void EncodeHeader(int i_size, char* op_header);

protected:
    int HeaderSize() const override { return kHeaderSize; }
    quint32 PayloadLength(const char* ip_header) const override;
    void DecodePayload(const char*, char*, int) const override {}
};

class ScrambledFrameCodec : public FrameCodec
{
public:
    ScrambledFrameCodec();

    bool IsScrambled() const override { return true; }
    void Encode(const char* ip_payload, int i_size, QByteArray& o_wire) override;
    using FrameCodec::Encode;

    // The frame scrambled with a given key; lets tests check bytes exactly.
    static void EncodeWithKey(quint32 i_key, const char* ip_payload, int i_size, QByteArray& o_wire);
    // XORs frame bytes with the key stream, starting at the given 4-byte block of the frame.
    static void Apply(quint32 i_key, int i_firstBlock, char* iop_data, int i_size);

protected:
    int HeaderSize() const override { return 8; }
    quint32 PayloadLength(const char* ip_header) const override;
    void DecodePayload(const char* ip_header, char* iop_payload, int i_size) const override;

private:
    quint32 NextKey();
    quint64 m_state;
};
