#pragma once

// Names of the data model types that the chat windows declare (MessageListForm.cpp).
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kPrivateMessage[] = "private_message";
inline constexpr char kPrivateMessageTime[] = "private_message_time";
inline constexpr char kPrivateMessageText[] = "private_message_text";
inline constexpr char kPrivateMessageDirection[] = "private_message_direction";
inline constexpr char kMessageListNode[] = "message_list_node";
} // namespace types
