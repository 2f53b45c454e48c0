#pragma once

#include <QIcon>
#include <QImage>

// The window's icon: one 32 x 32 image, 32 bits per pixel.
QImage DrawAppIconImage();
QIcon AppIcon();
