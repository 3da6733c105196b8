#pragma once

// Names of the data model types that the search window declares (SearchForm.cpp).
// Saved types and settings are kept in the data file under these texts, so a text must not change;
// code names them only here, so a misspelt name fails to compile.

namespace types
{
inline constexpr char kSearchResultsWidget[] = "search_results_widget";
inline constexpr char kSearchResultsWidgetAlerted[] = "search_results_widget_alerted";
inline constexpr char kExpandFolders[] = "expand_folders";
inline constexpr char kExpandUsers[] = "expand_users";
inline constexpr char kSearchResultsUserNode[] = "search_results_user_node";
inline constexpr char kSearchResultsFolderNode[] = "search_results_folder_node";
inline constexpr char kSearchResultNode[] = "search_result_node";
inline constexpr char kWishListNode[] = "wish_list_node";
inline constexpr char kWishListNodeCheckbox[] = "wish_list_node_checkbox";
inline constexpr char kWishListItemFilterText[] = "wish_list_item_filter_text";
inline constexpr char kSavedFilter[] = "saved_filter";
} // namespace types
