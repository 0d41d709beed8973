// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

namespace toolkit {

// 1440 twips make one inch; pixels follow the screen's logical DPI.
int twipsToPixelsX(int twips);
int twipsToPixelsY(int twips);
int pixelsToTwipsX(int pixels);
QRect twipsToPixels(const QRect &twips);
QSize twipsToPixels(const QSize &twips);

struct FontSpec {
    QString face;     // empty: the window's default font
    double points = 0;
    int weight = 400; // CSS-like weight: 300 light, 400 normal, 600 demi, 700 bold
};

QFont makeFont(const FontSpec &design, const QFont &fallback);

// Faces named by the design that Debian does not ship under that name.
void installFontSubstitutes();

} // namespace toolkit
