#pragma once

#include "DataSaver.h"

#include <QWidget>

// The users tab: the user list and its groups.
class UserListForm
    : public QWidget
    , public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);
    ~UserListForm() override;

    // Finishes set-up once the managers exist; listens for the end of loading.
    void Init();
    bool IsInitialised() const { return m_initialised; }
    void DataLoaded() override;

private:
    bool m_initialised = false;
};

extern UserListForm* userListForm;
