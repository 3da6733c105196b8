// What the user does in the transfers tab: tool-bar actions, menus, opening and collapsing
// rows, completion notices and the upload settings. The connections are made by the form's
// set-up; the actions themselves are not built yet, so these slots do nothing for now.
#include "TransfersForm.h"

void TransfersForm::OnActionBarTriggered(QWidget*, QString) {}
void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int) {}
void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int) {}
void TransfersForm::OnUploadSlotsSpinValueChanged(int) {}
void TransfersForm::OnDownloadsContextMenuRequested(QPoint) {}
void TransfersForm::OnUploadsContextMenuRequested(QPoint) {}
void TransfersForm::OnItemExpanded(QTreeWidgetItem*) {}
void TransfersForm::OnItemCollapsed(QTreeWidgetItem*) {}
void TransfersForm::OnCurrentTabChanged(int) {}
void TransfersForm::EveryHalfMinute() {}
void TransfersForm::OnDownloadComplete(ItemPtr) {}
void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem*, int) {}
void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent*) {}
