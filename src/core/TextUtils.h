#pragma once

// Text and path helpers shared by the engines and the windows.

#include <QString>

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
