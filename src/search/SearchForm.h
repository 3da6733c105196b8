#pragma once

#include "Data.h"
#include "DataSaver.h"

#include <QPoint>
#include <QString>
#include <QWidget>

namespace Ui
{
class SearchForm;
}

class QTabWidget;
class QTreeWidgetItem;
class SearchResultsForm;

// The kind of a results tab.
enum SearchType
{
    NetworkSearch = 0,
    WishListSearch = 1,
    UserListSearch = 2,
    RoomSearch = 3
};

// The Search page: the search box with its kind selector, one results tab per search, the wish
// list with the tabs of its searches, and the searches received from others. Replies reach their
// tab through the `search_request` of their token; rows are grouped by user and folder, filtered
// as they arrive and re-sorted a second after a burst.
class SearchForm
    : public QWidget
    , public DataHandler
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);
    ~SearchForm() override;

    // Declares the types, action sets and handlers; once, after the managers exist.
    void Init();
    void DataLoaded() override;

    Ui::SearchForm* Form() const { return ui; }

    // Opens the results tab of a search token, or for a wish-list search joins the tab its item
    // already has. Null when no tab was opened.
    SearchResultsForm* CreateSearchForm(unsigned int i_token, QString i_text, SearchType i_type);
    // The results tab the user looks at, or null.
    SearchResultsForm* GetCurrentSearchResultsForm();

    // Adds one file row (and its user and folder rows when new) to the tab of the widget item;
    // returns the file's user row.
    QTreeWidgetItem* AddSearchResult(ItemPtr i_widgetItem, ItemPtr i_result);
    // The user row of any row of a result tree.
    static QTreeWidgetItem* GetNodeUserNode(QTreeWidgetItem* ip_row);
    // The order in which results are queued: folder text, then file name, by code units.
    static bool CompareSearchResults(ItemPtr i_a, ItemPtr i_b);

public slots:
    void OnSearchEntered();
    void OnTabCloseRequested(int i_tabIndex);
    void OnUserSearchResults(ItemPtr i_searchResults);
    void OnFilterTextChanged(QString i_text);
    void OnCorrelationClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnCorrelationDoubleClicked(QTreeWidgetItem* ip_item, int i_column);

    void OnActionBarTriggered(QWidget* ip_widget, QString i_action);
    void OnResultDoubleClicked(QTreeWidgetItem* ip_result, int i_column);
    void OnSearchResultsContextMenuRequested(QPoint i_point);
    void OnWishTabCloseRequested(int i_tabIndex);
    void OnWishListItemAdded(ItemPtr i_item);
    void OnWishListItemCheckStateChanged(int i_state);
    void OnWishListItemChanged(QTreeWidgetItem* ip_item, int i_column);
    void OnWishListContextMenuRequested(QPoint i_point);
    void OnRemoveWishListItemRequested();
    void DeleteNode(QTreeWidgetItem* ip_item);

private:
    void DeclareTypes();
    void DeclareWishListTypes();
    void OnWishListItemRemoved(ItemPtr i_item);
    void OnEnteredRoom(ItemPtr i_room);
    void OnLeftRoom(ItemPtr i_room);

    // A network-wide search with its related searches, unless offline (then the user is told).
    bool StartNetworkSearch(const QString& i_text);
    // False, after telling the user, when searches cannot reach the server now.
    bool CheckConnected();
    // Closes a results tab of either tab control with everything its search holds.
    void CloseResultsTab(QTabWidget* ip_tabs, int i_tabIndex);
    void FilterResultsTab(SearchResultsForm* ip_page, const QString& i_text);
    void HideWishListSortTexts();
    // "add_remove_wishlist" on the tab the user looks at.
    void AddOrRemoveWishListItem();
    // Makes the wish-list items follow the rows' texts after an edit.
    void ReconcileWishList();
    // DeleteNode of the node's row once the event loop turns, if the node is still there then.
    void QueueDeleteNode(const ItemPtr& i_node);
    void AlertWishListResults(ItemPtr i_widgetItem, SearchResultsForm* ip_page);

    Ui::SearchForm* ui;
    // True only while a wish-list row is being built.
    bool m_buildingWishListRow = false;
};

extern SearchForm* searchForm;
