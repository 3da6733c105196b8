#pragma once

// Names of the data model types that the peer network declares (PeerMessenger.cpp, DNetManager.cpp)
// and the settings it reads.
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kFileSize[] = "file_size";
inline constexpr char kMpegVersion[] = "mpeg_version";
inline constexpr char kChannelMode[] = "channel_mode";
inline constexpr char kAudioFrequency[] = "audio_frequency";
inline constexpr char kBitrateMode[] = "bitrate_mode";
inline constexpr char kBitrate[] = "bitrate";
inline constexpr char kLengthSeconds[] = "length_seconds";
inline constexpr char kSearchResultsUserAvailable[] = "search_results_user_available";
inline constexpr char kSearchResultsUserSpeed[] = "search_results_user_speed";
inline constexpr char kSearchResultsUploadsInQueue[] = "search_results_uploads_in_queue";
inline constexpr char kSearchResultFileFolder[] = "search_result_file_folder";
inline constexpr char kSearchResultFileName[] = "search_result_file_name";
inline constexpr char kSearchResults[] = "search_results";
inline constexpr char kSearchResult[] = "search_result";
} // namespace types

namespace settings
{
inline constexpr char kNewListeningPort[] = "new_listening_port";
inline constexpr char kUploadSpeed[] = "upload_speed";
inline constexpr char kTransferReqCounter[] = "transfer_req_counter";
} // namespace settings
