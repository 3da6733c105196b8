#pragma once

// Names of the data model types that the shares engine declares (SharedFoldersManager.cpp) and the
// settings it keeps.
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kSharedFolder[] = "shared_folder";
inline constexpr char kSharedFile[] = "shared_file";
inline constexpr char kSharedFileName[] = "shared_file_name";
inline constexpr char kSharedFileLowercaseName[] = "shared_file_lowercase_name";
inline constexpr char kSharedFileFolder[] = "shared_file_folder";
inline constexpr char kSharedFileFolderLowercaseName[] = "shared_file_folder_lowercase_name";
inline constexpr char kSharedFileSize[] = "shared_file_size";
inline constexpr char kSharedPublic[] = "shared_public";
inline constexpr char kSharedUserlist[] = "shared_userlist";
inline constexpr char kIsScanned[] = "is_scanned";
inline constexpr char kSharedFolderId[] = "shared_folder_id";
inline constexpr char kUserShare[] = "user_share";
inline constexpr char kUserShareFolder[] = "user_share_folder";
inline constexpr char kUserShareFolderParent[] = "user_share_folder_parent";
inline constexpr char kUserShareFolderChild[] = "user_share_folder_child";
inline constexpr char kUserShareFolderName[] = "user_share_folder_name";
inline constexpr char kUserShareFile[] = "user_share_file";
inline constexpr char kUserShareFileName[] = "user_share_file_name";
inline constexpr char kSearchToken[] = "search_token";
inline constexpr char kUnshared[] = "unshared";
} // namespace types

namespace settings
{
inline constexpr char kSharedFolderCounter[] = "shared_folder_counter";
} // namespace settings
