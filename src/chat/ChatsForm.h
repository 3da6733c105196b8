#pragma once

#include <QWidget>

// The chat tab: private chats.
class ChatsForm : public QWidget
{
    Q_OBJECT

public:
    explicit ChatsForm(QWidget* ip_parent = nullptr);
    ~ChatsForm() override;

    // Finishes set-up once the managers exist.
    void Init();
    bool IsInitialised() const { return m_initialised; }

    // Opens the private chat with the user, or brings it forward.
    void OpenChatForm(const QString& i_user);

private:
    bool m_initialised = false;
};

extern ChatsForm* chatsForm;
