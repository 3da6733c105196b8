#include "AttributeMap.h"

#include <cstring>

bool AttributeMap::GetValue(qint32 i_code, qint32& o_value) const
{
    for (auto it = m_attributes.crbegin(); it != m_attributes.crend(); ++it)
        if (it->first == i_code)
        {
            o_value = it->second;
            return true;
        }
    return false;
}

bool AttributeMap::Read(InputStream& i_stream)
{
    MemStream& stream = i_stream.GetStream();
    const size_t start = stream.GetReadPos();
    auto fail = [&]() {
        stream.SetReadPos(start);
        return false;
    };

    std::string extension;
    if (!i_stream.Read(extension))
        return fail();
    const size_t nul = extension.find('\0');
    if (nul != std::string::npos)
        extension.resize(nul);
    m_extension = std::move(extension);

    m_attributes.clear();
    // Read as unsigned so that a "negative" count is refused at once by the limit.
    quint32 count = 0;
    if (!i_stream.ReadCount(count))
        return fail();
    m_attributes.reserve(static_cast<int>(std::min<size_t>(count, stream.BytesLeft() / 8)));
    for (quint32 n = 0; n < count; ++n)
    {
        qint32 code = 0;
        qint32 value = 0;
        if (!i_stream.Read(code) || !i_stream.Read(value))
            return fail();
        m_attributes.append(std::make_pair(code, value));
    }
    return true;
}

bool AttributeMap::Write(OutputStream& i_stream) const
{
    i_stream.Write(m_extension);
    i_stream.Write(static_cast<quint32>(m_attributes.size()));
    for (const auto& pair : m_attributes)
    {
        i_stream.Write(pair.first);
        i_stream.Write(pair.second);
    }
    return true;
}

bool InputStream::Read(AttributeMap& o_attributes)
{
    return o_attributes.Read(*this);
}

bool OutputStream::Write(const AttributeMap& i_attributes)
{
    return i_attributes.Write(*this);
}
