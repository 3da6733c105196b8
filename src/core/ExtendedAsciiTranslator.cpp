#include "ExtendedAsciiTranslator.h"

#include "CoreSchema.h"

#include <QTextCodec>

ExtendedAsciiTranslator* extendedAsciiTranslator = nullptr;

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
    if (m_following || !d || !d->HasType(types::kGlobal) || !d->HasType(types::kGlobalValue))
        return;
    m_following = true;
    auto* onConnect = new PathNode(d, types::kGlobal);
    new PathNode(onConnect, types::kGlobalValue, PathOnConnect);
    d->AddPathEventHandler(onConnect, new EventHandler<ExtendedAsciiTranslator, ItemPtr>(
                                          this, &ExtendedAsciiTranslator::OnSettingChanged));
    auto* onDisconnect = new PathNode(d, types::kGlobal);
    new PathNode(onDisconnect, types::kGlobalValue, PathOnDisconnect);
    d->AddPathEventHandler(onDisconnect, new EventHandler<ExtendedAsciiTranslator, ItemPtr>(
                                             this, &ExtendedAsciiTranslator::OnSettingChanged));
    ApplyCodePage(GetSetting(settings::kExtendedAsciiCodepage).toStdString());
}

void ExtendedAsciiTranslator::OnSettingChanged(ItemPtr i_global)
{
    if (i_global.AsStdString() != settings::kExtendedAsciiCodepage)
        return;
    ApplyCodePage(GetSetting(settings::kExtendedAsciiCodepage).toStdString());
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
        SetSetting(settings::kExtendedAsciiCodepage, QString::fromStdString(i_name));
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
