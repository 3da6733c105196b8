#include "ExtendedAsciiTranslator.h"

#include <QTextCodec>

#include <atomic>

// Kept apart from the translator so that reading text needs nothing of the data model.

namespace
{
// Codecs belong to the toolkit and live for the whole run, so a bare pointer is safe to share.
std::atomic<QTextCodec*> g_codec{nullptr};
} // namespace

void ExtendedAsciiTranslator::SetCurrentCodec(QTextCodec* ip_codec)
{
    g_codec.store(ip_codec);
}

QTextCodec* ExtendedAsciiTranslator::CurrentCodec()
{
    return g_codec.load();
}

QString ExtendedAsciiTranslator::DecodeExtended(const std::string& i_bytes)
{
    if (QTextCodec* codec = CurrentCodec())
        return codec->toUnicode(i_bytes.data(), static_cast<int>(i_bytes.size()));
    return QString::fromLatin1(i_bytes.data(), static_cast<int>(i_bytes.size()));
}

QStringList ExtendedAsciiTranslator::AvailableCodePages()
{
    QStringList names;
    for (const QByteArray& name : QTextCodec::availableCodecs())
        names.append(QString::fromLatin1(name));
    names.sort();
    names.removeDuplicates();
    return names;
}
