#include "UserInfoText.h"

#include <QTextDocument>

const QString UserInfoText::PictureName = QStringLiteral("UserImage");

UserInfoText::UserInfoText(QWidget* ip_parent)
    : QTextBrowser(ip_parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

void UserInfoText::SetPicture(const QImage& i_picture)
{
    m_picture = i_picture;
    document()->addResource(QTextDocument::ImageResource, QUrl(PictureName), m_picture);
}

QVariant UserInfoText::loadResource(int i_type, const QUrl& i_name)
{
    if (i_type == QTextDocument::ImageResource && i_name.toString() == PictureName && !m_picture.isNull())
        return m_picture;
    return QVariant();
}
