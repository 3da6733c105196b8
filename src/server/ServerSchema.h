#pragma once

// Names of the data model types that the server connection declares (Server.cpp) and the settings
// it reads.
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kUser[] = "user";
inline constexpr char kInUserList[] = "in_user_list";
inline constexpr char kUserListGroup[] = "user_list_group";
inline constexpr char kGroupDownloadPriority[] = "group_download_priority";
inline constexpr char kAcceptUploads[] = "accept_uploads";
inline constexpr char kIsOnline[] = "is_online";
inline constexpr char kIsAway[] = "is_away";
inline constexpr char kIsTracked[] = "is_tracked";
inline constexpr char kIsIgnored[] = "is_ignored";
inline constexpr char kIsPrivileged[] = "is_privileged";
inline constexpr char kAverageDownloadSpeed[] = "average_download_speed";
inline constexpr char kSharedFilesCount[] = "shared_files_count";
inline constexpr char kCountryCode[] = "country_code";
inline constexpr char kRoom[] = "room";
inline constexpr char kInRoom[] = "in_room";
inline constexpr char kRoomAutojoin[] = "room_autojoin";
inline constexpr char kIsOwner[] = "is_owner";
inline constexpr char kIsOperator[] = "is_operator";
inline constexpr char kIsMember[] = "is_member";
inline constexpr char kUserCount[] = "user_count";
inline constexpr char kRoomMembers[] = "room_members";
inline constexpr char kRoomOperators[] = "room_operators";
inline constexpr char kRoomOwner[] = "room_owner";
inline constexpr char kSearchRequest[] = "search_request";
inline constexpr char kSearchRequestText[] = "search_request_text";
inline constexpr char kWishlistSearch[] = "wishlist_search";
inline constexpr char kSearchCorrelation[] = "search_correlation";
inline constexpr char kCorrelationText[] = "correlation_text";
inline constexpr char kCorrelationRank[] = "correlation_rank";
} // namespace types

namespace settings
{
inline constexpr char kUsername[] = "username";
inline constexpr char kPassword[] = "password";
inline constexpr char kServerHost[] = "server_host";
inline constexpr char kServerPort[] = "server_port";
inline constexpr char kAvailabilityStatus[] = "availability_status";
inline constexpr char kUseUpnp[] = "use_upnp";
inline constexpr char kAcceptRoomList[] = "accept_room_list";
inline constexpr char kListeningPort[] = "listening_port";
inline constexpr char kObfuscatedListeningPort[] = "obfuscated_listening_port";
inline constexpr char kPrivilegesTimeLeft[] = "privileges_time_left";
} // namespace settings
