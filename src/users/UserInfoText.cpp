#include "UserInfoText.h"

#include <QImage>
#include <QTextDocument>

const QString UserInfoText::PictureName = QStringLiteral("UserImage");

namespace
{
// A document asks its own loadResource for every image and style sheet it names; the standard
// one falls back to reading local files, whatever the widget answers.
class PictureOnlyDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

    QImage m_picture;

protected:
    QVariant loadResource(int i_type, const QUrl& i_name) override
    {
        if (i_type == ImageResource && i_name.toString() == UserInfoText::PictureName && !m_picture.isNull())
            return m_picture;
        return QVariant();
    }
};
} // namespace

UserInfoText::UserInfoText(QWidget* ip_parent)
    : QTextBrowser(ip_parent)
{
    setDocument(new PictureOnlyDocument(this));
    setOpenLinks(false);
}

void UserInfoText::SetPicture(const QImage& i_picture)
{
    static_cast<PictureOnlyDocument*>(document())->m_picture = i_picture;
}
