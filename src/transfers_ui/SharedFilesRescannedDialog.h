#pragma once

#include <QDialog>

#include <memory>

namespace Ui
{
class SharedFilesRescannedDialog;
}

// What a rescan of the shared folders that the user started found: one line each for the files
// added and removed. Modeless; it deletes itself when closed.
class SharedFilesRescannedDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SharedFilesRescannedDialog(QWidget* ip_parent = nullptr);
    ~SharedFilesRescannedDialog() override;

    // Appends the text as a line of its own.
    void Append(const QString& i_text);

    // A new report of the two counts, titled and shown.
    static SharedFilesRescannedDialog* ShowReport(QWidget* ip_parent, int i_added, int i_removed);

private:
    std::unique_ptr<Ui::SharedFilesRescannedDialog> ui;
};
