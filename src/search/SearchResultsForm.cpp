#include "SearchResultsForm.h"

#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "FocusHelpers.h"
#include "SearchSchema.h"
#include "Server.h"
#include "ServerSchema.h"
#include "ShellSchema.h"
#include "ShellWidgets.h"
#include "ui_SearchResultsForm.h"

#include <QShowEvent>

namespace
{
const QString SaveFilterText = QStringLiteral("Save Filter");
const QString RemoveFilterText = QStringLiteral("Remove Filter");
// The related searches take this much of the page's width when there are any.
constexpr int CorrelationsWidth = 150;
} // namespace

QString SavedFilterKey(const QString& i_text)
{
    return i_text.simplified().toLower();
}

SearchResultsForm::SearchResultsForm(QString i_searchText, bool i_isWishListSearch, QWidget* ip_parent)
    : QWidget(ip_parent)
    , ui(new Ui::SearchResultsForm)
    , m_searchText(std::move(i_searchText))
    , m_isWishListSearch(i_isWishListSearch)
{
    ui->setupUi(this);
    IsolatingDelegate::Install(ui->searchResultsTreeWidget);
    // Rows are ordered only on request; a sorted tree would re-sort on every row.
    ui->searchResultsTreeWidget->setSortingEnabled(false);
    ui->correlationsWidget->hide();
    ui->correlationsWidget->setHeaderLabel(QStringLiteral("related searches"));

    connect(ui->pushButton, &QPushButton::clicked, this, &SearchResultsForm::OnFilterHelpClicked);
    connect(ui->saveFilterButton, &QPushButton::clicked, this, &SearchResultsForm::OnSaveFilterClicked);
    connect(ui->filterEdit, &QLineEdit::textChanged, this, &SearchResultsForm::OnFilterTextChanged);
    connect(ui->savedFiltersBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SearchResultsForm::OnSavedFiltersBoxIndexChanged);
    connect(ui->pushButton_2, &QPushButton::clicked, this, &SearchResultsForm::OnClearFilterClicked);
    // Clicked, not toggled: setting the box from code stores nothing.
    connect(ui->defaultFilterBox, &QCheckBox::clicked, this, &SearchResultsForm::OnDefaultFilterBoxToggled);

    if (!m_isWishListSearch)
    {
        PopulateCorrelations();
        connect(gp_server, &Server::SearchCorrelations, this, &SearchResultsForm::OnSearchCorrelations);
    }
}

SearchResultsForm::~SearchResultsForm()
{
    delete ui;
}

void SearchResultsForm::Init()
{
    RegisterWidgetForTabFocus(ui->searchResultsTreeWidget, 2);
    Type* savedFilters = d->GetType(types::kSavedFilter);
    for (const ItemPtr& filter : savedFilters->GetItems())
        ui->savedFiltersBox->addItem(filter.AsString());
    savedFilters->m_itemCreated.insert(
        new EventHandler<SearchResultsForm, ItemPtr>(this, &SearchResultsForm::OnSavedFilterAdded));
    savedFilters->m_itemRemoved.insert(
        new EventHandler<SearchResultsForm, ItemPtr>(this, &SearchResultsForm::OnSavedFilterRemoved));
}

QTreeWidget* SearchResultsForm::searchResults() const
{
    return ui->searchResultsTreeWidget;
}

QLineEdit* SearchResultsForm::filterEdit() const
{
    return ui->filterEdit;
}

QTreeWidget* SearchResultsForm::CorrelationsWidget() const
{
    return ui->correlationsWidget;
}

void SearchResultsForm::SetSortingParamters(int i_column, Qt::SortOrder i_order)
{
    m_sortColumn = i_column;
    m_sortOrder = i_order;
}

void SearchResultsForm::Sort()
{
    // Also makes the column the tree's sort column, which the rows compare by.
    ui->searchResultsTreeWidget->sortItems(m_sortColumn, m_sortOrder);
}

void SearchResultsForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(this);
}

// ---- saved and default filters ----

void SearchResultsForm::OnFilterTextChanged(QString i_text)
{
    ShowFilterState(i_text, ItemPtr());
}

void SearchResultsForm::ShowFilterState(const QString& i_text, const ItemPtr& i_removedFilter)
{
    // The button's text is the only record of whether the current filter is saved. A saved
    // filter being removed can still be found while its removal is announced.
    const ItemPtr filter = d->GetType(types::kSavedFilter)->HasItem(Value(SavedFilterKey(i_text)));
    const bool saved = filter && filter != i_removedFilter;
    if (saved && ui->saveFilterButton->text() == SaveFilterText)
        ui->saveFilterButton->setText(RemoveFilterText);
    else if (!saved && ui->saveFilterButton->text() == RemoveFilterText)
        ui->saveFilterButton->setText(SaveFilterText);

    ui->defaultFilterBox->setChecked(!i_text.isEmpty() && HasSetting(settings::kDefaultSearchFilter)
                                     && i_text == GetSetting(settings::kDefaultSearchFilter));
}

void SearchResultsForm::OnSaveFilterClicked()
{
    // The boxes and buttons of every page follow through the item events.
    const QString key = SavedFilterKey(ui->filterEdit->text());
    Type* savedFilters = d->GetType(types::kSavedFilter);
    if (ItemPtr filter = savedFilters->HasItem(Value(key)))
        filter.Remove();
    else if (!key.isEmpty())
        savedFilters->GetItem(Value(key));
}

void SearchResultsForm::OnSavedFilterAdded(ItemPtr i_filter)
{
    ui->savedFiltersBox->addItem(i_filter.AsString());
    OnFilterTextChanged(ui->filterEdit->text());
}

void SearchResultsForm::OnSavedFilterRemoved(ItemPtr i_filter)
{
    // The heading is not a saved filter, whatever its text.
    const QString text = i_filter.AsString();
    for (int index = 1; index < ui->savedFiltersBox->count(); ++index)
    {
        if (ui->savedFiltersBox->itemText(index) == text)
        {
            ui->savedFiltersBox->removeItem(index);
            break;
        }
    }
    ShowFilterState(ui->filterEdit->text(), i_filter);
}

void SearchResultsForm::OnSavedFiltersBoxIndexChanged(int i_index)
{
    if (i_index <= 0)
        return;
    ui->filterEdit->setText(ui->savedFiltersBox->itemText(i_index));
    ui->savedFiltersBox->setCurrentIndex(0);
}

void SearchResultsForm::OnClearFilterClicked()
{
    ui->filterEdit->clear();
}

void SearchResultsForm::OnDefaultFilterBoxToggled(bool i_checked)
{
    const QString text = ui->filterEdit->text();
    if (!i_checked)
        ClearSetting(settings::kDefaultSearchFilter);
    else if (text.isEmpty())
        ui->defaultFilterBox->setChecked(false);
    else
        SetSetting(settings::kDefaultSearchFilter, text);
}

void SearchResultsForm::OnFilterHelpClicked()
{
    FilterHelpDialog::ShowHelp(this);
}

// ---- related searches ----

void SearchResultsForm::OnSearchCorrelations(QString i_searchText)
{
    if (i_searchText == m_searchText)
        PopulateCorrelations();
}

void SearchResultsForm::PopulateCorrelations()
{
    QTreeWidget* list = ui->correlationsWidget;
    list->clear();
    list->hide();
    const ItemPtr text = d->GetType(types::kSearchRequestText)->GetItem(Value(m_searchText));
    const QList<ItemPtr> related =
        text.GetItems(types::kSearchCorrelation).SortNumericBy(types::kCorrelationRank, false);
    if (related.isEmpty())
        return;
    for (const ItemPtr& correlation : related)
        new QTreeWidgetItem(list, {correlation[types::kCorrelationText].AsString()});
    list->show();
    ui->splitter->setSizes({qMax(0, width() - CorrelationsWidth), CorrelationsWidth});
}
