#pragma once

// Names of the data model types that the transfer engine declares (TransferQueueManager.cpp) and
// the settings it reads.
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kDownloadEntry[] = "download_entry";
inline constexpr char kFileName[] = "file_name";
inline constexpr char kRemoteFolder[] = "remote_folder";
inline constexpr char kDownloadFolder[] = "download_folder";
inline constexpr char kTransferReq[] = "transfer_req";
inline constexpr char kRemoteTransferReq[] = "remote_transfer_req";
inline constexpr char kDownloadSocket[] = "download_socket";
inline constexpr char kDownloadFile[] = "download_file";
inline constexpr char kWritePosition[] = "write_position";
inline constexpr char kDownloadEntryStatus[] = "download_entry_status";
inline constexpr char kDownloadOrder[] = "download_order";
inline constexpr char kUploadSocket[] = "upload_socket";
inline constexpr char kUploadFile[] = "upload_file";
inline constexpr char kReadPosition[] = "read_position";
inline constexpr char kUploadEntryStatus[] = "upload_entry_status";
inline constexpr char kUploadOrder[] = "upload_order";
inline constexpr char kIsActive[] = "is_active";
inline constexpr char kLastReceiptTime[] = "last_receipt_time";
inline constexpr char kLastSpeedMeasurementTime[] = "last_speed_measurement_time";
inline constexpr char kBytesPerSecond[] = "bytes_per_second";
inline constexpr char kBytesSinceLastReceipt[] = "bytes_since_last_receipt";
inline constexpr char kPlaceInLine[] = "place_in_line";
inline constexpr char kLastQueueRequestTime[] = "last_queue_request_time";
inline constexpr char kNextPlaceInLineRequestTime[] = "next_place_in_line_request_time";
inline constexpr char kDownloadThread[] = "download_thread";
inline constexpr char kSubfolderSaveLevel[] = "subfolder_save_level";
inline constexpr char kLastStatusChangeTime[] = "last_status_change_time";
inline constexpr char kUploadEntry[] = "upload_entry";
inline constexpr char kFilenameAsRequested[] = "filename_as_requested";
inline constexpr char kUploadStartTime[] = "upload_start_time";
inline constexpr char kBytesUploaded[] = "bytes_uploaded";
inline constexpr char kUploadThread[] = "upload_thread";
inline constexpr char kEffectiveUploadOrder[] = "effective_upload_order";
inline constexpr char kDenialReason[] = "denial_reason";
inline constexpr char kCompleteDownload[] = "complete_download";
inline constexpr char kCompleteDownloadFolder[] = "complete_download_folder";
inline constexpr char kCompleteDownloadRelativeFolder[] = "complete_download_relative_folder";
inline constexpr char kCompleteDownloadFilename[] = "complete_download_filename";
inline constexpr char kCompleteDownloadFileSize[] = "complete_download_file_size";
inline constexpr char kCompleteDownloadCompletionTime[] = "complete_download_completion_time";
inline constexpr char kEmptyShareCheckStatus[] = "empty_share_check_status";
inline constexpr char kSentEmptyShareWarningMessage[] = "sent_empty_share_warning_message";
inline constexpr char kExcludedDownloadExtension[] = "excluded_download_extension";
} // namespace types

namespace settings
{
inline constexpr char kDownloadFolder[] = "download_folder";
inline constexpr char kTransferOrderCounter[] = "transfer_order_counter";
inline constexpr char kUploadSpeedLimit[] = "upload_speed_limit";
inline constexpr char kUploadSpeedLimitEnabled[] = "upload_speed_limit_enabled";
inline constexpr char kUploadSlots[] = "upload_slots";
inline constexpr char kCheckForEmptyShares[] = "check_for_empty_shares";
inline constexpr char kEmptyShareMessage[] = "empty_share_message";
inline constexpr char kMaxQueuedUploadsPerUser[] = "max_queued_uploads_per_user";
inline constexpr char kAcceptUserlistUploads[] = "accept_userlist_uploads";
} // namespace settings
