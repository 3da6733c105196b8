#pragma once

#include "Data.h"

#include <QString>
#include <QWidget>

namespace Ui
{
class SearchResultsForm;
}

class QLineEdit;
class QTreeWidget;

// The page of one search: the result tree, the related searches beside it, and the filter bar
// with its saved filters and the default filter for new pages.
class SearchResultsForm
    : public QWidget
    , public DataHandler
{
    Q_OBJECT

public:
    SearchResultsForm(QString i_searchText, bool i_isWishListSearch, QWidget* ip_parent = nullptr);
    ~SearchResultsForm() override;

    // Once the search window has set up the tree and the filter text.
    void Init();

    QTreeWidget* searchResults() const;
    QLineEdit* filterEdit() const;
    QTreeWidget* CorrelationsWidget() const;
    Ui::SearchResultsForm* Form() const { return ui; }
    QString SearchText() const { return m_searchText; }
    bool IsWishListSearch() const { return m_isWishListSearch; }

    void SetSortingParamters(int i_column, Qt::SortOrder i_order);

    void PopulateCorrelations();

public slots:
    void Sort();
    void OnFilterHelpClicked();
    void OnSearchCorrelations(QString i_searchText);
    void OnFilterTextChanged(QString i_text);
    void OnSaveFilterClicked();
    void OnSavedFiltersBoxIndexChanged(int i_index);
    void OnClearFilterClicked();
    void OnDefaultFilterBoxToggled(bool i_checked);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnSavedFilterAdded(ItemPtr i_filter);
    void OnSavedFilterRemoved(ItemPtr i_filter);
    // The save button and the default box for the filter text.
    void ShowFilterState(const QString& i_text, const ItemPtr& i_removedFilter);

    Ui::SearchResultsForm* ui;
    int m_sortColumn = 1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    QString m_searchText;
    bool m_isWishListSearch;
};

// The key under which a filter text is saved: white space runs made one blank, ends trimmed,
// lower case. Texts that differ only in case or spacing are one saved filter.
QString SavedFilterKey(const QString& i_text);
