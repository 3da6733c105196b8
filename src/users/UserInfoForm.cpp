#include "UserInfoForm.h"

#include "EventToolBar.h"
#include "PeerMessenger.h"
#include "TextUtils.h"
#include "UserInfoReply.h"
#include "ui_UserInfoForm.h"

#include <QTextCursor>

UserInfoForm::UserInfoForm(QWidget* ip_parent)
    : QWidget(ip_parent)
    , m_ui(std::make_unique<Ui::UserInfoForm>())
{
    m_ui->setupUi(this);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::UserInfoReceived, this, &UserInfoForm::OnUserInfoReceived);
}

UserInfoForm::~UserInfoForm() = default;

void UserInfoForm::Init(QString i_user)
{
    m_user = std::move(i_user);
    if (peerMessenger)
        peerMessenger->GetUserInfo(m_user);
    m_waiting = true;
    m_ui->userInfoText->setHtml(tr("Requesting..."));
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &UserInfoForm::OnConnectionToUserFailed);
}

void UserInfoForm::OnUserInfoReceived(QString i_user, QString i_description, bool i_hasPicture, char* ip_pictureBuffer,
                                      int i_pictureBufferLength, int i_uploadSlots, int i_queuedUPloads,
                                      bool i_freeUploadSlots)
{
    if (i_user != m_user)
        return;
    m_waiting = false;
    m_ui->uploadSlotsEdit->setText(QString::number(i_uploadSlots));
    m_ui->queuedUploadsEdit->setText(QString::number(i_queuedUPloads));
    m_ui->freeToUploadEdit->setText(i_freeUploadSlots ? tr("Yes") : tr("No"));

    QString text;
    // A picture that cannot be shown counts as none; the description still shows.
    const QImage picture =
        i_hasPicture ? UserInfoReply::DecodePicture(ip_pictureBuffer, i_pictureBufferLength) : QImage();
    m_ui->userInfoText->SetPicture(picture);
    if (!picture.isNull())
        text += QStringLiteral("<img source=\"%1\" /><p>").arg(UserInfoText::PictureName);
    if (i_description.isEmpty() && picture.isNull())
        text += tr("No user info.");
    else
        text += UserInfoText::SafeDescription(QString(i_description).replace(QLatin1Char('\n'), QLatin1String("<br>")));
    m_ui->userInfoText->setHtml(text);
    m_ui->userInfoText->moveCursor(QTextCursor::Start);
    PostEvent();
}

void UserInfoForm::OnConnectionToUserFailed(QString i_user, QString i_connectionType)
{
    if (!m_waiting || i_user != m_user || i_connectionType != QLatin1String("P"))
        return;
    m_waiting = false;
    m_ui->userInfoText->setPlainText(tr("A connection could not be successfully formed to the user."));
    PostEvent();
}

void UserInfoForm::PostEvent()
{
    if (eventToolBar)
        eventToolBar->AddEvent(MnemonicText(m_user), QStringLiteral(":/icons/info_icon"), this, QString());
}

void UserInfoForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(this);
}
