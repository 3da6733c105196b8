#pragma once

// Text and path helpers shared by the engines and the windows.

#include <QString>

class QUrl;

#include <string>

std::string StringReplace(std::string i_text, const std::string& i_from, const std::string& i_to);

// The text after the last ".", ASCII letters lower-cased; "" without a ".".
std::string GetFileExtension(const std::string& i_name);
// After dropping one trailing "/" or "\": the text after the last separator, or the whole text.
std::string GetFileName(const std::string& i_path);
// After dropping one trailing "/" or "\": the text before the last separator, or "" without one.
std::string GetFolder(const std::string& i_path);
// Drops every trailing "\", then one trailing "/" or "\", then gives the text before the last
// separator; a path without a separator comes back whole.
std::string GetParentFolder(const std::string& i_path);
// Drops one trailing separator and lower-cases; the key under which local paths are compared.
QString GetAbsoluteFileName(const QString& i_path);
// "a/b\c" gives "c/b/a".
QString ReversePathname(const QString& i_path);

// "1,234,567"; 0 and negative numbers give "" (an empty cell).
QString CommafyNumber(qint64 i_number);
// 3725 gives "1h2m5s".
QString FormatSeconds(long i_seconds);

// UTF-8, or the chosen code page (Latin-1 when none) when the bytes are not UTF-8.
QString ToQString(const std::string& i_bytes);
QString ToQString(const char* ip_bytes, size_t i_length);

QString EscapeHTML(const QString& i_text);
// Turns every http(s) address into an anchor.
QString ConvertLinks(const QString& i_text);
// The text with a zero-width space in every run of more than 64 characters without a blank, where
// a view may break the line: laying out one long unbroken run costs time that grows with its
// square.
QString BreakableText(const QString& i_text);
// Escapes a raw text and makes its http(s) addresses anchors: the addresses are found in the text
// as it came, so each opens as written. The shown text is breakable (BreakableText).
QString EscapeWithLinks(const QString& i_text);
// Whether a clicked anchor may be handed to the desktop: http and https only.
bool IsWebLink(const QUrl& i_url);
// A name from the network shown among other text: isolated, so that its direction controls
// cannot reorder what follows it.
QString IsolatedName(const QString& i_name);
// A name as the text of a tab, a menu entry or a button, which read "&" as a shortcut mark:
// isolated, with "&" doubled.
QString MnemonicText(const QString& i_name);
