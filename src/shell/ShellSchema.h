#pragma once

// Names of the data model types that the main window declares for more than one window library
// (MainWindowSettings.cpp), and of the settings only windows read.
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kRoomNode[] = "room_node";
inline constexpr char kWishListItem[] = "wish_list_item";
inline constexpr char kWishListItemEnabled[] = "wish_list_item_enabled";
inline constexpr char kUserNote[] = "user_note";
inline constexpr char kUserChatWidget[] = "user_chat_widget";
inline constexpr char kRoomForm[] = "room_form";
inline constexpr char kChatLogForm[] = "chat_log_form";

// The machinery every window uses: tool bars and size memory.
inline constexpr char kToolbarActionSet[] = "toolbar_action_set";
inline constexpr char kToolbarAction[] = "toolbar_action";
inline constexpr char kToolbarActionId[] = "toolbar_action_id";
inline constexpr char kToolbarActionOrder[] = "toolbar_action_order";
inline constexpr char kToolbarActionWidget[] = "toolbar_action_widget";
inline constexpr char kActionKeyValuePair[] = "action_key_value_pair";
inline constexpr char kActionKey[] = "action_key";
inline constexpr char kActionValue[] = "action_value";
inline constexpr char kActionKeyColumnPair[] = "action_key_column_pair";
inline constexpr char kActionColumn[] = "action_column";
inline constexpr char kActiveActionKey[] = "active_action_key";
inline constexpr char kActiveActionValue[] = "active_action_value";
inline constexpr char kWidgetActionText[] = "widget_action_text";
inline constexpr char kWidgetActionHidden[] = "widget_action_hidden";
inline constexpr char kToolbarActionObject[] = "toolbar_action_object";
inline constexpr char kToolbarActionIcon[] = "toolbar_action_icon";
inline constexpr char kToolbarActionText[] = "toolbar_action_text";
inline constexpr char kNeedsListSelection[] = "needs_list_selection";
inline constexpr char kSizerWindow[] = "sizer_window";
inline constexpr char kSizerWindowWidget[] = "sizer_window_widget";
inline constexpr char kSizerX[] = "sizer_x";
inline constexpr char kSizerY[] = "sizer_y";
inline constexpr char kSizerWidth[] = "sizer_width";
inline constexpr char kSizerHeight[] = "sizer_height";
inline constexpr char kSizerTree[] = "sizer_tree";
inline constexpr char kSizerTreeWidget[] = "sizer_tree_widget";
inline constexpr char kSizerTreeColumn[] = "sizer_tree_column";
inline constexpr char kSizerTreeColumnNumber[] = "sizer_tree_column_number";
inline constexpr char kSizerSplitter[] = "sizer_splitter";
inline constexpr char kSizerSplitterWidget[] = "sizer_splitter_widget";
inline constexpr char kSizerSplitterIndex[] = "sizer_splitter_index";
inline constexpr char kSizerSplitterIndexNumber[] = "sizer_splitter_index_number";
inline constexpr char kSizerSize[] = "sizer_size";
inline constexpr char kEventToolbarAction[] = "event_toolbar_action";
inline constexpr char kEventToolbarWidget[] = "event_toolbar_widget";
} // namespace types

namespace settings
{
inline constexpr char kChatTimestamps[] = "chat_timestamps";
inline constexpr char kClearCompleteAbortedUploads[] = "clear_complete_aborted_uploads";
inline constexpr char kClearCompleteDownloads[] = "clear_complete_downloads";
inline constexpr char kDefaultSearchFilter[] = "default_search_filter";
inline constexpr char kEnablePrivateRoomAdd[] = "enable_private_room_add";
inline constexpr char kExpandNewShares[] = "expand_new_shares";
inline constexpr char kLogPrivateChat[] = "log_private_chat";
inline constexpr char kLogRoomChat[] = "log_room_chat";
inline constexpr char kMinimizeToTray[] = "minimize_to_tray";
inline constexpr char kOpenGroupsOnUserAdd[] = "open_groups_on_user_add";
inline constexpr char kShowAwayStatusInApplicationIcon[] = "show_away_status_in_application_icon";
inline constexpr char kSkipVersion[] = "skip_version";
inline constexpr char kUserDescription[] = "user_description";
inline constexpr char kUserPictureFile[] = "user_picture_file";
inline constexpr char kVersionFileUrl[] = "version_file_url";
inline constexpr char kWishListWait[] = "wish_list_wait";
inline constexpr char kWishListSearchIndex[] = "wish_list_search_index";
inline constexpr char kColorButtonBackground[] = "color_button_background";
inline constexpr char kColorButtonText[] = "color_button_text";
inline constexpr char kColorChatStatus[] = "color_chat_status";
inline constexpr char kColorChatTimestamp[] = "color_chat_timestamp";
inline constexpr char kColorChatUsername[] = "color_chat_username";
inline constexpr char kColorInputBackground[] = "color_input_background";
inline constexpr char kColorInputText[] = "color_input_text";
inline constexpr char kColorTransferComplete[] = "color_transfer_complete";
inline constexpr char kColorTransferFailed[] = "color_transfer_failed";
inline constexpr char kColorTransferInProgress[] = "color_transfer_in_progress";
inline constexpr char kColorTransferOther[] = "color_transfer_other";
inline constexpr char kColorTransferQueued[] = "color_transfer_queued";
inline constexpr char kColorWindowBackground[] = "color_window_background";
inline constexpr char kColorWindowText[] = "color_window_text";
} // namespace settings
