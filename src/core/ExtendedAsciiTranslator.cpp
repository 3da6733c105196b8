#include "ExtendedAsciiTranslator.h"

#include <QTextCodec>

#include <atomic>

ExtendedAsciiTranslator* extendedAsciiTranslator = nullptr;

namespace
{
// Codecs belong to the toolkit and live for the whole run, so a bare pointer is safe to share.
std::atomic<QTextCodec*> g_codec{nullptr};
}

ExtendedAsciiTranslator::ExtendedAsciiTranslator()
{
    extendedAsciiTranslator = this;
}

ExtendedAsciiTranslator::~ExtendedAsciiTranslator()
{
    if (extendedAsciiTranslator == this)
        extendedAsciiTranslator = nullptr;
}

void ExtendedAsciiTranslator::SetCodePage(const std::string& i_name)
{
    ApplyCodePage(i_name);
}

std::string ExtendedAsciiTranslator::GetCodePage() const
{
    return m_codePage;
}

void ExtendedAsciiTranslator::ApplyCodePage(const std::string& i_name)
{
    m_codePage = i_name;
    QTextCodec* codec = i_name.empty() ? nullptr : QTextCodec::codecForName(QByteArray::fromStdString(i_name));
    g_codec.store(codec);
}

QTextCodec* ExtendedAsciiTranslator::CurrentCodec()
{
    return g_codec.load();
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
