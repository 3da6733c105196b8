#include "ExtendedAsciiTranslator.h"

#include <QTextCodec>

ExtendedAsciiTranslator* extendedAsciiTranslator = nullptr;

static const char kCodePageKey[] = "extended_ascii_codepage";

ExtendedAsciiTranslator::ExtendedAsciiTranslator()
{
    extendedAsciiTranslator = this;
    Data::SetTextDecoder(&ExtendedAsciiTranslator::DecodeExtended);
    FollowSetting();
}

// Every change of a `global` value is checked, so the handler also survives a store that was
// emptied by a failed load and filled again.
void ExtendedAsciiTranslator::FollowSetting()
{
    if (m_following || !d || !d->HasType("global") || !d->HasType("global_value"))
        return;
    m_following = true;
    auto* onConnect = new PathNode(d, "global");
    new PathNode(onConnect, "global_value", PathOnConnect);
    d->AddPathEventHandler(onConnect, new EventHandler<ExtendedAsciiTranslator, ItemPtr>(
                                          this, &ExtendedAsciiTranslator::OnSettingChanged));
    auto* onDisconnect = new PathNode(d, "global");
    new PathNode(onDisconnect, "global_value", PathOnDisconnect);
    d->AddPathEventHandler(onDisconnect, new EventHandler<ExtendedAsciiTranslator, ItemPtr>(
                                             this, &ExtendedAsciiTranslator::OnSettingChanged));
    ApplyCodePage(GetSetting(QLatin1String(kCodePageKey)).toStdString());
}

void ExtendedAsciiTranslator::OnSettingChanged(ItemPtr i_global)
{
    if (i_global.AsStdString() != kCodePageKey)
        return;
    ApplyCodePage(GetSetting(QLatin1String(kCodePageKey)).toStdString());
}

ExtendedAsciiTranslator::~ExtendedAsciiTranslator()
{
    if (extendedAsciiTranslator == this)
    {
        extendedAsciiTranslator = nullptr;
        SetCurrentCodec(nullptr);
    }
}

void ExtendedAsciiTranslator::SetCodePage(const std::string& i_name)
{
    FollowSetting();
    if (m_following)
        SetSetting(QLatin1String(kCodePageKey), QString::fromStdString(i_name));
    else
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
    SetCurrentCodec(codec);
}
