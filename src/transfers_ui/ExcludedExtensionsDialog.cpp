#include "ExcludedExtensionsDialog.h"

#include "TransfersSchema.h"
#include "ui_ExcludedExtensionsDialog.h"

#include <QMenu>

ExcludedExtensionsDialog* excludedExtensionsDialog = nullptr;

ExcludedExtensionsDialog::ExcludedExtensionsDialog(QWidget* ip_parent)
    : QDialog(ip_parent)
    , ui(std::make_unique<Ui::ExcludedExtensionsDialog>())
{
    ui->setupUi(this);
    excludedExtensionsDialog = this;
    setAttribute(Qt::WA_DeleteOnClose);
    Type* extensions = d->GetType(types::kExcludedDownloadExtension);
    // Whoever adds an ending, this dialog included, adds its row through here.
    extensions->m_itemCreated.insert(
        new EventHandler<ExcludedExtensionsDialog, ItemPtr>(this, &ExcludedExtensionsDialog::OnExtensionAdded));
    for (const ItemPtr& extension : extensions->GetItems())
        OnExtensionAdded(extension);
    connect(ui->extensionListWidget, &QWidget::customContextMenuRequested, this,
            &ExcludedExtensionsDialog::OnExtensionListContextMenuRequested);
    connect(ui->newExtensionButton, &QPushButton::clicked, this,
            &ExcludedExtensionsDialog::OnNewExtensionButtonClicked);
}

ExcludedExtensionsDialog::~ExcludedExtensionsDialog()
{
    if (excludedExtensionsDialog == this)
        excludedExtensionsDialog = nullptr;
}

ExcludedExtensionsDialog* ExcludedExtensionsDialog::Open(QWidget* ip_parent)
{
    ExcludedExtensionsDialog* dialog =
        excludedExtensionsDialog ? excludedExtensionsDialog : new ExcludedExtensionsDialog(ip_parent);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    dialog->setFocus();
    return dialog;
}

void ExcludedExtensionsDialog::OnExtensionAdded(ItemPtr i_extension)
{
    ui->extensionListWidget->addItem(i_extension.AsString());
}

void ExcludedExtensionsDialog::OnNewExtensionButtonClicked()
{
    const QString extension = ui->newExtensionEdit->text().trimmed();
    ui->newExtensionEdit->clear();
    if (extension.isEmpty())
        return;
    // A new ending announces itself; one that exists adds nothing.
    d->GetType(types::kExcludedDownloadExtension)->GetItem(extension);
}

void ExcludedExtensionsDialog::OnExtensionListContextMenuRequested(QPoint i_point)
{
    if (!ui->extensionListWidget->itemAt(i_point))
        return;
    QMenu menu;
    menu.addAction(QStringLiteral("Remove"), this, &ExcludedExtensionsDialog::OnRemoveExcludedExtension);
    menu.exec(ui->extensionListWidget->viewport()->mapToGlobal(i_point));
}

void ExcludedExtensionsDialog::OnRemoveExcludedExtension()
{
    Type* extensions = d->GetType(types::kExcludedDownloadExtension);
    for (QListWidgetItem* row : ui->extensionListWidget->selectedItems())
    {
        // Looked up without creating: an ending already gone is not brought back.
        if (ItemPtr extension = extensions->HasItem(row->text()))
            extension.Remove();
        delete row;
    }
}
