#pragma once

// Names of the data model types that the user windows declare (UserListForm.cpp, UserNoteDialog.cpp).
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kUserNoteDialog[] = "user_note_dialog";
inline constexpr char kUserOnlineAlert[] = "user_online_alert";
inline constexpr char kUserInfoForm[] = "user_info_form";
inline constexpr char kUserListNode[] = "user_list_node";
inline constexpr char kUnsharedListNode[] = "unshared_list_node";
inline constexpr char kIgnoredListNode[] = "ignored_list_node";
inline constexpr char kOnlineAlertListNode[] = "online_alert_list_node";
} // namespace types
