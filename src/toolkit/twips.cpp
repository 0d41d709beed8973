// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace toolkit {

namespace {
constexpr double TwipsPerInch = 1440.0;

double dpiX()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInchX() : 96.0;
}

double dpiY()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->logicalDotsPerInchY() : 96.0;
}
} // namespace

int twipsToPixelsX(int twips) { return static_cast<int>(std::lround(twips * dpiX() / TwipsPerInch)); }
int twipsToPixelsY(int twips) { return static_cast<int>(std::lround(twips * dpiY() / TwipsPerInch)); }
int pixelsToTwipsX(int pixels) { return static_cast<int>(std::lround(pixels * TwipsPerInch / dpiX())); }

QRect twipsToPixels(const QRect &twips)
{
    return {twipsToPixelsX(twips.x()), twipsToPixelsY(twips.y()), twipsToPixelsX(twips.width()),
            twipsToPixelsY(twips.height())};
}

QSize twipsToPixels(const QSize &twips) { return {twipsToPixelsX(twips.width()), twipsToPixelsY(twips.height())}; }

QFont makeFont(const FontSpec &design, const QFont &fallback)
{
    if (design.face.isEmpty())
        return fallback;
    QFont font(design.face);
    font.setPointSizeF(design.points);
    font.setWeight(static_cast<QFont::Weight>(design.weight));
    return font;
}

void installFontSubstitutes()
{
    QFont::insertSubstitution(QStringLiteral("Bookman Old Style"), QStringLiteral("URW Bookman"));
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
}

} // namespace toolkit
