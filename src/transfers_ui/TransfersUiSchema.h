#pragma once

// Names of the data model types that the transfer and share windows declare (TransfersForm.cpp,
// CompleteDownloadsForm.cpp, SharesForm.cpp).
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kDownloadListUserNode[] = "download_list_user_node";
inline constexpr char kDownloadListFolderNode[] = "download_list_folder_node";
inline constexpr char kDownloadListNode[] = "download_list_node";
inline constexpr char kUploadListUserNode[] = "upload_list_user_node";
inline constexpr char kUploadListFolderNode[] = "upload_list_folder_node";
inline constexpr char kUploadListNode[] = "upload_list_node";
inline constexpr char kCompleteDownloadAlert[] = "complete_download_alert";
inline constexpr char kCompleteDownloadNode[] = "complete_download_node";
inline constexpr char kUserShareTab[] = "user_share_tab";
inline constexpr char kUploadShareTab[] = "upload_share_tab";
inline constexpr char kUserShareFolderNode[] = "user_share_folder_node";
inline constexpr char kUserShareFileNode[] = "user_share_file_node";
} // namespace types
