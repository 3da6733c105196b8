// The search window: its types, searching, and opening and closing results tabs.
#include "SearchForm.h"

#include "ActionSetToolBar.h"
#include "FocusHelpers.h"
#include "PeerMessenger.h"
#include "PeerSchema.h"
#include "ReceivedSearchesForm.h"
#include "SearchResultListItem.h"
#include "SearchResultsForm.h"
#include "SearchSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "SizeManager.h"
#include "StartupPrompts.h"
#include "TextUtils.h"
#include "TransfersSchema.h"
#include "ui_SearchForm.h"

#include <QHeaderView>
#include <QIcon>
#include <QMetaType>

SearchForm* searchForm = nullptr;

namespace
{
const QString RoomKindPrefix = QStringLiteral("Room: ");
const QString ResultsSet = QStringLiteral("search_results");
const QString WishListSet = QStringLiteral("wish_list");
// The wish list keeps this much of the page's width beside its tabs.
constexpr int WishListWidth = 200;

void DeclareType(const char* i_name, Primacy i_primacy, bool i_isNull = false)
{
    d->NewType(i_name, i_primacy, i_isNull, true);
}

void Relate(const char* i_a, const char* i_b, OneOrMany i_aPerB, OneOrMany i_bPerA, bool i_aOwnsB = false)
{
    d->GetType(i_a)->RelateToType(d->GetType(i_b), i_aPerB, i_bPerA, i_aOwnsB);
}
} // namespace

SearchForm::SearchForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::SearchForm)
{
    ui->setupUi(this);
    searchForm = this;
    ui->wishList->setHeaderLabel(QStringLiteral("Wish List Item"));
    connect(ui->searchEdit, &QLineEdit::returnPressed, this, &SearchForm::OnSearchEntered);
    connect(ui->searchButton, &QPushButton::clicked, this, &SearchForm::OnSearchEntered);
    connect(ui->wishList, &QWidget::customContextMenuRequested, this, &SearchForm::OnWishListContextMenuRequested);
}

SearchForm::~SearchForm()
{
    delete ui;
    if (searchForm == this)
        searchForm = nullptr;
}

void SearchForm::DeclareTypes()
{
    DeclareType(types::kSearchResultsWidget, Primary);
    DeclareType(types::kSearchResultsWidgetAlerted, Tertiary, true);
    DeclareType(types::kExpandFolders, Tertiary);
    DeclareType(types::kExpandUsers, Tertiary);
    DeclareType(types::kSearchResultsUserNode, Secondary);
    DeclareType(types::kSearchResultsFolderNode, Secondary);
    DeclareType(types::kSearchResultNode, Secondary);

    Relate(types::kSearchResultsWidget, types::kSearchRequest, One, Many);
    Relate(types::kSearchResultsWidget, types::kWishListItem, One, One);
    Relate(types::kSearchResultsWidget, types::kSearchResultsWidgetAlerted, Many, One);
    Relate(types::kSearchResultsWidget, types::kExpandFolders, Many, One);
    Relate(types::kSearchResultsWidget, types::kExpandUsers, Many, One);
    Relate(types::kSearchResultsWidget, types::kSearchResultsUserNode, One, Many, true);
    Relate(types::kSearchResultsUserNode, types::kUser, Many, One);
    Relate(types::kSearchResultsUserNode, types::kSearchResultsFolderNode, One, Many, true);
    Relate(types::kSearchResultsFolderNode, types::kSearchResultFileFolder, Many, One);
    Relate(types::kSearchResultNode, types::kSearchResult, One, One);
    Relate(types::kSearchResultNode, types::kSearchResultsFolderNode, Many, One);
}

void SearchForm::DeclareWishListTypes()
{
    DeclareType(types::kWishListNode, Primary);
    DeclareType(types::kWishListNodeCheckbox, Primary);
    DeclareType(types::kWishListItemFilterText, Tertiary);
    Relate(types::kWishListItem, types::kWishListNode, One, One);
    Relate(types::kWishListNode, types::kWishListNodeCheckbox, One, One);
    Relate(types::kWishListItem, types::kWishListItemFilterText, Many, One);
    dataSaver->AddSavedType(types::kWishListItemFilterText);
}

void SearchForm::Init()
{
    connect(peerMessenger, &PeerMessenger::SearchResults, this, &SearchForm::OnUserSearchResults);
    DeclareTypes();
    d->GetType(types::kWishListItem)
        ->m_itemRemoved.insert(new EventHandler<SearchForm, ItemPtr>(this, &SearchForm::OnWishListItemRemoved));
    connect(ui->searchTabControl, &QTabWidget::tabCloseRequested, this, &SearchForm::OnTabCloseRequested);
    connect(ui->wishListTabControl, &QTabWidget::tabCloseRequested, this, &SearchForm::OnWishTabCloseRequested);
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SearchForm::OnActionBarTriggered);

    const QString searchIcon = QStringLiteral(":/icons/search_icon");
    const QString wishListIcon = QStringLiteral(":/icons/wishlist_icon");
    actionBar->AddSetAction(ResultsSet, QStringLiteral("order_by_available"), QStringLiteral("Order by Available"),
                            searchIcon, false);
    actionBar->AddSetAction(ResultsSet, QStringLiteral("order_by_fastest"), QStringLiteral("Order by Fastest"),
                            searchIcon, false);
    actionBar->AddSetAction(ResultsSet, QStringLiteral("expand_folders"), QStringLiteral("Expand Folders"), searchIcon,
                            false);
    actionBar->AddSetAction(ResultsSet, QStringLiteral("expand_users"), QStringLiteral("Expand Users"), searchIcon,
                            false);
    actionBar->AddSetAction(ResultsSet, QStringLiteral("add_remove_wishlist"), QStringLiteral("Add to Wishlist"),
                            wishListIcon, false);

    ui->wishList->setColumnCount(2);
    ui->wishList->setColumnWidth(0, 20);
    ui->wishList->header()->setSectionResizeMode(QHeaderView::Fixed);
    ui->wishList->setHeaderLabels({QString(), QStringLiteral("Wish List Search")});
    HideWishListSortTexts();

    DeclareWishListTypes();
    actionBar->AddSetAction(WishListSet, QStringLiteral("enable_all_wish_list_items"),
                            QStringLiteral("Enable All Wish List Searches"), wishListIcon, false);
    actionBar->AddSetAction(WishListSet, QStringLiteral("disable_all_wish_list_items"),
                            QStringLiteral("Disable All Wish List Searches"), wishListIcon, false);
    actionBar->RegisterWidget(ui->wishList, WishListSet);
    ui->wishList->setSortingEnabled(true);
    ui->wishList->sortByColumn(1, Qt::AscendingOrder);

    // A download remembers the text of the search it came from.
    Relate(types::kSearchRequestText, types::kDownloadEntry, One, Many);
    dataSaver->AddSavedByConnectionType(types::kSearchRequestText, types::kDownloadEntry);
    dataSaver->AddListener(this);

    RegisterWidgetForTabFocus(ui->searchEdit, 1);
    RegisterWidgetForTabFocus(ui->wishList, 1);

    DeclareType(types::kSavedFilter, Primary);
    dataSaver->AddSavedType(types::kSavedFilter);

    ui->searchTargetBox->addItems({QStringLiteral("All"), QStringLiteral("User List")});
    d->AddPathEventHandler(new PathNode(new PathNode(d, types::kRoom), types::kInRoom, PathOnConnect),
                           new EventHandler<SearchForm, ItemPtr>(this, &SearchForm::OnEnteredRoom));
    d->AddPathEventHandler(new PathNode(new PathNode(d, types::kRoom), types::kInRoom, PathOnDisconnect),
                           new EventHandler<SearchForm, ItemPtr>(this, &SearchForm::OnLeftRoom));
    ui->receivedSearchesForm->Init();

    connect(ui->wishList, &QTreeWidget::itemChanged, this, &SearchForm::OnWishListItemChanged);
    // The wish list deletes its rows through queued calls.
    qRegisterMetaType<QTreeWidgetItem*>("QTreeWidgetItem*");
}

void SearchForm::DataLoaded()
{
    for (const ItemPtr& item : d->GetType(types::kWishListItem)->GetItems())
        OnWishListItemAdded(item);

    QList<int> sizes = ui->searchSplitter->sizes();
    if (sizes.size() == 2)
    {
        sizes[0] = width() - WishListWidth;
        sizes[1] = WishListWidth;
    }
    ui->searchSplitter->setSizes(sizes);
    sizeManager->RegisterSplitter(QStringLiteral("wish_list_splitter"), ui->searchSplitter, sizes);
}

// ---- searching ----

bool SearchForm::CheckConnected()
{
    // The server connection drops requests made while not logged in without a word; a tab
    // that stays empty would read as "nothing found".
    if (gp_server->IsConnected())
        return true;
    StartupPrompts::Current()->Inform(this, QStringLiteral("Not connected"),
                                      QStringLiteral("You must be connected to search."));
    return false;
}

bool SearchForm::StartNetworkSearch(const QString& i_text)
{
    if (!CheckConnected())
        return false;
    const unsigned int token = gp_server->FileSearch(i_text, false);
    gp_server->GetSearchCorrelations(i_text);
    CreateSearchForm(token, i_text, NetworkSearch);
    return true;
}

void SearchForm::OnSearchEntered()
{
    const QString text = ui->searchEdit->text().trimmed();
    if (text.isEmpty())
        return;
    const QString kind = ui->searchTargetBox->currentText();
    if (kind == QLatin1String("All"))
    {
        if (!StartNetworkSearch(text))
            return;
    }
    else
    {
        if (!CheckConnected())
            return;
        if (kind == QLatin1String("User List"))
            CreateSearchForm(gp_server->SearchUserList(text), text, UserListSearch);
        else if (kind.startsWith(RoomKindPrefix))
            CreateSearchForm(gp_server->SearchRoom(kind.mid(RoomKindPrefix.size()), text), text, RoomSearch);
        else
            return;
    }
    ui->searchEdit->clear();
}

void SearchForm::OnEnteredRoom(ItemPtr i_room)
{
    ui->searchTargetBox->addItem(RoomKindPrefix + i_room.AsString());
}

void SearchForm::OnLeftRoom(ItemPtr i_room)
{
    const int index =
        ui->searchTargetBox->findText(RoomKindPrefix + i_room.AsString(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        ui->searchTargetBox->removeItem(index);
}

void SearchForm::OnCorrelationClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item)
        ui->searchEdit->setText(ip_item->text(0));
}

void SearchForm::OnCorrelationDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    // The click that came first has filled the search edit; it is emptied once the search runs.
    if (ip_item && StartNetworkSearch(ip_item->text(0)))
        ui->searchEdit->clear();
}

// ---- results tabs ----

SearchResultsForm* SearchForm::CreateSearchForm(unsigned int i_token, QString i_text, SearchType i_type)
{
    const ItemPtr request = d->GetType(types::kSearchRequest)->GetItem(Value(i_token));
    ItemPtr wishListItem;
    if (i_type == WishListSearch)
    {
        wishListItem = d->GetType(types::kWishListItem)->HasItem(Value(i_text));
        if (!wishListItem)
            return nullptr;
        // Every run of one wish-list search gathers in one tab.
        if (ItemPtr widgetItem = wishListItem[types::kSearchResultsWidget])
        {
            widgetItem += request;
            return widgetItem.AsPointer<SearchResultsForm>();
        }
    }

    auto* page = new SearchResultsForm(i_text, i_type == WishListSearch, this);
    QTreeWidget* tree = page->searchResults();
    tree->setColumnCount(SearchResultListItem::ColumnCount);
    tree->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Free"), QStringLiteral("K/s"),
                           QStringLiteral("Folder"), QStringLiteral("File"), QStringLiteral("Size"),
                           QStringLiteral("Attributes")});
    const int widths[] = {100, 40, 40, 150, 170};
    for (int column = 0; column < int(std::size(widths)); ++column)
        tree->setColumnWidth(column, widths[column]);
    // Sizes of hundreds of megabytes are read whole, whatever the font.
    tree->setColumnWidth(SearchResultListItem::SizeColumn,
                         tree->fontMetrics().horizontalAdvance(QStringLiteral("999,999,999")) + 16);
    tree->header()->setStretchLastSection(false);
    tree->header()->setSectionsMovable(false);
    // The order is chosen by the tool bar's actions only.
    tree->header()->setSectionsClickable(false);
    tree->expandAll();

    QTabWidget* tabs = i_type == WishListSearch ? ui->wishListTabControl : ui->searchTabControl;
    const char* icon = i_type == WishListSearch   ? ":/icons/wishlist_icon"
                       : i_type == UserListSearch ? ":/icons/users_icon"
                       : i_type == RoomSearch     ? ":/icons/room_icon"
                                                  : ":/icons/search_icon";
    tabs->addTab(page, QIcon(QString::fromLatin1(icon)), MnemonicText(i_text));

    ItemPtr widgetItem = d->GetType(types::kSearchResultsWidget)->GetItem(Value(page));
    widgetItem += request;
    if (wishListItem)
    {
        widgetItem += wishListItem;
        if (const ItemPtr filterText = wishListItem[types::kWishListItemFilterText])
            page->filterEdit()->setText(filterText.AsString());
    }
    const QString defaultFilter = GetSetting(settings::kDefaultSearchFilter);
    if (!defaultFilter.isEmpty() && page->filterEdit()->text().isEmpty())
        page->filterEdit()->setText(defaultFilter);

    connect(tree, &QTreeWidget::itemDoubleClicked, this, &SearchForm::OnResultDoubleClicked);

    actionBar->RegisterWidget(page, ResultsSet);
    if (i_type == WishListSearch)
        actionBar->SetWidgetActionText(page, QStringLiteral("add_remove_wishlist"),
                                       QStringLiteral("Remove from Wish List"));
    actionBar->SetWidgetActionText(page, QStringLiteral("order_by_available"),
                                   QStringLiteral("Order by Available [on]"));
    actionBar->SetWidgetActionText(page, QStringLiteral("order_by_fastest"), QStringLiteral("Order by Fastest"));
    actionBar->SetWidgetActionText(page, QStringLiteral("expand_folders"), QStringLiteral("Expand Folders [on]"));
    actionBar->SetWidgetActionText(page, QStringLiteral("expand_users"), QStringLiteral("Expand Users [on]"));

    widgetItem += d->GetType(types::kExpandFolders)->GetItem(Value("yes"));
    widgetItem += d->GetType(types::kExpandUsers)->GetItem(Value("yes"));
    page->SetSortingParamters(SearchResultListItem::FreeColumn, Qt::DescendingOrder);

    // A search the user started is shown at once; a wish-list tab opens in the background.
    if (i_type != WishListSearch)
        FocusWidgetAndParents(tree);

    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this, &SearchForm::OnSearchResultsContextMenuRequested);
    connect(page->filterEdit(), &QLineEdit::textChanged, this, &SearchForm::OnFilterTextChanged);
    sizeManager->RegisterTreeWidget(QStringLiteral("search_results"), tree);
    page->Init();
    connect(page->CorrelationsWidget(), &QTreeWidget::itemClicked, this, &SearchForm::OnCorrelationClicked);
    connect(page->CorrelationsWidget(), &QTreeWidget::itemDoubleClicked, this, &SearchForm::OnCorrelationDoubleClicked);
    return page;
}

void SearchForm::OnTabCloseRequested(int i_tabIndex)
{
    CloseResultsTab(ui->searchTabControl, i_tabIndex);
}

void SearchForm::CloseResultsTab(QTabWidget* ip_tabs, int i_tabIndex)
{
    QWidget* page = ip_tabs->widget(i_tabIndex);
    if (!page)
        return;
    ItemPtr widgetItem = d->GetType(types::kSearchResultsWidget)->HasItem(Value(page));
    if (!widgetItem)
        return;
    const ItemSet requests = widgetItem.GetItems(types::kSearchRequest);
    widgetItem.Remove();
    ip_tabs->removeTab(i_tabIndex);
    // A sort still pending for the page is dropped with it.
    delete page;
    // Late replies for these tokens then find no request and are dropped.
    for (ItemPtr request : requests)
    {
        request.GetItems(types::kSearchResults).Remove();
        request.Remove();
    }
    d->RemoveDisconnectedItems();
}

SearchResultsForm* SearchForm::GetCurrentSearchResultsForm()
{
    if (ui->searchTabControl->isVisible())
        return qobject_cast<SearchResultsForm*>(ui->searchTabControl->currentWidget());
    if (ui->wishListTabControl->isVisible())
        return qobject_cast<SearchResultsForm*>(ui->wishListTabControl->currentWidget());
    return nullptr;
}
