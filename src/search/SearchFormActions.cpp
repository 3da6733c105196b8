// What the user does to results and to the wish list beyond searching and filtering.
#include "SearchForm.h"

#include "ui_SearchForm.h"

void SearchForm::OnWishTabCloseRequested(int i_tabIndex)
{
    CloseResultsTab(ui->wishListTabControl, i_tabIndex);
}

void SearchForm::OnActionBarTriggered(QWidget*, QString) {}

void SearchForm::OnResultDoubleClicked(QTreeWidgetItem*, int) {}

void SearchForm::OnSearchResultsContextMenuRequested(QPoint) {}

void SearchForm::OnWishListItemAdded(ItemPtr) {}

void SearchForm::OnWishListItemRemoved(ItemPtr) {}

void SearchForm::OnWishListItemCheckStateChanged(int) {}

void SearchForm::OnWishListItemChanged(QTreeWidgetItem*, int) {}

void SearchForm::OnWishListContextMenuRequested(QPoint) {}

void SearchForm::OnRemoveWishListItemRequested() {}

void SearchForm::DeleteNode(QTreeWidgetItem*) {}
