#include "UserListForm.h"

UserListForm* userListForm = nullptr;

UserListForm::UserListForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    userListForm = this;
}

UserListForm::~UserListForm()
{
    if (userListForm == this)
        userListForm = nullptr;
}

void UserListForm::Init()
{
    dataSaver->AddListener(this);
    m_initialised = true;
}

void UserListForm::DataLoaded() {}
