#pragma once

#include "MemStream.h"

#include <QVarLengthArray>

#include <string>
#include <utility>
#include <vector>

// Attribute codes of the wire.
enum AttributeCode : qint32
{
    AttributeBitrate = 0,        // kilobits per second (the average for a variable bitrate)
    AttributeLength = 1,         // seconds
    AttributeVariableBitrate = 2 // 1 variable, 0 constant
};

// A file's extension and its numbered attribute pairs. The pairs are a list: a code may occur
// twice, and readers keep what they receive. No virtual functions: a received shares list holds
// one per file, millions of them.
class AttributeMap
{
public:
    std::string m_extension;
    // Files carry two or three pairs; keeping them inline spares an allocation per record.
    QVarLengthArray<std::pair<qint32, qint32>, 3> m_attributes;

    void Add(qint32 i_code, qint32 i_value) { m_attributes.append(std::make_pair(i_code, i_value)); }
    // The value of the last pair with the code, as a receiver links it.
    bool GetValue(qint32 i_code, qint32& o_value) const;

    // Replaces the extension and the pairs. On failure the pairs read so far stay and the
    // stream position is left where it was.
    bool Read(InputStream& i_stream);
    bool Write(OutputStream& i_stream) const;

    bool operator==(const AttributeMap& i_other) const
    {
        return m_extension == i_other.m_extension && m_attributes == i_other.m_attributes;
    }
    bool operator!=(const AttributeMap& i_other) const { return !(*this == i_other); }
};
