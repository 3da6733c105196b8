#pragma once

#include "MemStream.h"

#include <QImage>

// The own user information sent to other clients (peer message 16), and the picture of a
// received one.
namespace UserInfoReply
{
// Pictures are shown at most this large, scaled down with their proportions kept.
constexpr int PictureWidth = 800;
constexpr int PictureHeight = 400;
// A received picture declaring more pixels than this is not decoded: a few kilobytes of a
// compressed image can declare gigabytes of pixels. A 24-megapixel camera picture still shows.
constexpr qint64 MaxPicturePixels = 32 * 1024 * 1024;

// The reply from the settings `user_description`, `user_picture_file` and `upload_slots` and the
// transfer engine's upload state. A picture that is missing, unreadable, not a plain file or too
// large for one peer frame beside the description goes out as no picture.
MemStream BuildOwn();

// The picture, fitted inside PictureWidth x PictureHeight; a null image when the bytes are not an
// image or the image is too large.
QImage DecodePicture(const char* ip_bytes, int i_length);
} // namespace UserInfoReply
