#pragma once

#include "Data.h"

#include <QStringList>

#include <string>

class QTextCodec;

// Chooses the code page in which text that is not UTF-8 is read. Follows the setting
// `extended_ascii_codepage`; an empty or unknown name means none (Latin-1 is used then).
class ExtendedAsciiTranslator : public DataHandler
{
public:
    ExtendedAsciiTranslator();
    ~ExtendedAsciiTranslator() override;

    // Stores the name as the setting; the translator follows the setting.
    void SetCodePage(const std::string& i_name);
    std::string GetCodePage() const;

    // The codec in use, or null when none is chosen. Safe to call before any translator exists.
    static QTextCodec* CurrentCodec();
    // The names the toolkit offers, sorted.
    static QStringList AvailableCodePages();

    // Decodes bytes that are not UTF-8: the chosen code page, or Latin-1 when none.
    static QString DecodeExtended(const std::string& i_bytes);

private:
    static void SetCurrentCodec(QTextCodec* ip_codec);
    void ApplyCodePage(const std::string& i_name);
    void OnSettingChanged(ItemPtr i_global);
    void FollowSetting();

    bool m_following = false;

    std::string m_codePage;
};

extern ExtendedAsciiTranslator* extendedAsciiTranslator;
