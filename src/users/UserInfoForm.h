#pragma once

#include <QString>
#include <QWidget>

#include <memory>

namespace Ui
{
class UserInfoForm;
}

// One page of the "User Info" tab: asks one user's client for its information and shows the
// reply, or that no connection could be made.
class UserInfoForm : public QWidget
{
    Q_OBJECT

public:
    explicit UserInfoForm(QWidget* ip_parent = nullptr);
    ~UserInfoForm() override;

    // Remembers the user and sends the request.
    void Init(QString i_user);
    QString User() const { return m_user; }
    bool IsWaiting() const { return m_waiting; }

public slots:
    void OnUserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_pictureBuffer,
                            int i_pictureBufferLength, int i_uploadSlots, int i_queuedUPloads, bool i_freeUploadSlots);
    void OnConnectionToUserFailed(QString i_user, QString i_connectionType);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void PostEvent();

    std::unique_ptr<Ui::UserInfoForm> m_ui;
    QString m_user;
    bool m_waiting = false;
};
