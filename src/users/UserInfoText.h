#pragma once

#include <QTextBrowser>

// The text area of a user-information page. The description is another user's rich text: it may
// show the picture of the reply ("UserImage") and nothing else, so it reads no local file, fetches
// nothing and follows no link.
class UserInfoText : public QTextBrowser
{
    Q_OBJECT

public:
    static const QString PictureName;

    explicit UserInfoText(QWidget* ip_parent = nullptr);

    // The picture the text may show; a null image for none.
    void SetPicture(const QImage& i_picture);

    // The description as rich text the page can lay out at once: its text, line breaks,
    // paragraphs, bold, italic, underline and http(s) links, nested a few levels at most and the
    // first 500 of them only, and its text as PlanShownText shows it (TextUtils.h). Every
    // other tag (tables, lists, images, styles) and every other attribute is dropped, so nothing
    // in it names a file or costs more than its length to lay out.
    static QString SafeDescription(const QString& i_html);
};
