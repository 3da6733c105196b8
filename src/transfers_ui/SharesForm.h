#pragma once

#include "Data.h"
#include "FileInfo.h"

#include <QWidget>

namespace Ui
{
class SharesForm;
}

class QTabWidget;
class ShareForm;
class UploadForm;

// The Browse page: one closable tab per user whose shares are browsed and one per user offered
// files ("Upload to"). It asks for shares lists, turns them into share items and hands them to
// the tabs, and forwards the folder trees' tool-bar commands to the current tab.
class SharesForm
    : public QWidget
    , public DataHandler
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Finishes set-up once the managers exist.
    void Init();
    bool IsInitialised() const { return m_initialised; }

    // The user's browse tab, focused; a new one asks the user for their shares list.
    ShareForm* OpenShareBrowse(QString i_user);
    // The user's "Upload to" tab, focused; a new one shows our shares as the user may see them now.
    UploadForm* OpenUploadBrowse(QString i_user);

    // A `user_share` item tree holding the list, linked to no user.
    static ItemPtr CreateUserShareData(const FileInfoMap& i_share, const AttributeTranslationTable& i_translationTable);

    QTabWidget* Tabs() const;

public slots:
    void OnTabCloseRequested(int i_tabIndex);
    void OnToolBarActionTriggered(QWidget* ip_widget, QString i_action);
    void OnUserShare(QString i_user, FileInfoMap& i_share, AttributeTranslationTable& i_translationTable);

private:
    Ui::SharesForm* m_ui;
    bool m_initialised = false;
};

extern SharesForm* sharesForm;
