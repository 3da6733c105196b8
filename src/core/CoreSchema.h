#pragma once

// Names of the data model types that the data model declares for its settings store (Data.cpp,
// DataSaver.cpp).
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kGlobal[] = "global";
inline constexpr char kVglobal[] = "vglobal";
inline constexpr char kGlobalValue[] = "global_value";
} // namespace types

namespace settings
{
inline constexpr char kDataVersion[] = "data_version";
inline constexpr char kExtendedAsciiCodepage[] = "extended_ascii_codepage";
inline constexpr char kUserLevelLogging[] = "user_level_logging";
} // namespace settings
