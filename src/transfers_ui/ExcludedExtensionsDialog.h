#pragma once

#include "Data.h"

#include <QDialog>

#include <memory>

namespace Ui
{
class ExcludedExtensionsDialog;
}

class QPoint;

// The endings of file names that folder downloads leave out, one saved
// `excluded_download_extension` item each. Every change is stored at once. One at most exists
// (`excludedExtensionsDialog`); it deletes itself when closed. Opened with Open().
class ExcludedExtensionsDialog
    : public QDialog
    , public DataHandler
{
    Q_OBJECT

public:
    explicit ExcludedExtensionsDialog(QWidget* ip_parent = nullptr);
    ~ExcludedExtensionsDialog() override;

    // Shows the open dialog again, or a new one with that parent, and gives it the focus.
    static ExcludedExtensionsDialog* Open(QWidget* ip_parent);

public slots:
    void OnNewExtensionButtonClicked();
    void OnExtensionListContextMenuRequested(QPoint i_point);
    void OnRemoveExcludedExtension();

private:
    void OnExtensionAdded(ItemPtr i_extension);

    std::unique_ptr<Ui::ExcludedExtensionsDialog> ui;
};

extern ExcludedExtensionsDialog* excludedExtensionsDialog;
