#include "ChatsForm.h"

ChatsForm* chatsForm = nullptr;

ChatsForm::ChatsForm(QWidget* ip_parent)
    : QWidget(ip_parent)
{
    chatsForm = this;
}

ChatsForm::~ChatsForm()
{
    if (chatsForm == this)
        chatsForm = nullptr;
}

void ChatsForm::Init()
{
    m_initialised = true;
}

void ChatsForm::OpenChatForm(const QString&) {}
