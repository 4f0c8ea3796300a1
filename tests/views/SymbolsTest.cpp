#include "views/Symbols.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <string>

namespace {

/// How many pixels of `pixmap` are not fully transparent.
int coveredPixels(const QPixmap& pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int covered = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            covered += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        }
    }
    return covered;
}

class EveryUsedSymbol : public ::testing::TestWithParam<std::string_view> {};

TEST_P(EveryUsedSymbol, DrawsInTheCallersTintAtEverySize)
{
    const std::string_view name = GetParam();
    ASSERT_TRUE(symbols::hasSymbol(name)) << name;
    for (int px : {16, 20, 24, 32}) {
        for (qreal ratio : {1.0, 2.0}) {
            const QPixmap pixmap = symbols::symbolPixmap(name, px, QColor(0, 128, 255), ratio);
            ASSERT_EQ(pixmap.width(), int(px * ratio)) << name;
            const int covered = coveredPixels(pixmap);
            // Something, and not a filled box.
            EXPECT_GT(covered, pixmap.width() * pixmap.height() / 20) << name << " at " << px;
            EXPECT_LT(covered, pixmap.width() * pixmap.height()) << name << " at " << px;
        }
    }
    const QImage image = symbols::symbolPixmap(name, 24, QColor(0, 128, 255), 1.0).toImage();
    bool tinted = false;
    for (int y = 0; y < image.height() && !tinted; ++y) {
        for (int x = 0; x < image.width() && !tinted; ++x) {
            const QColor c = image.pixelColor(x, y);
            tinted = c.alpha() == 255 && c.red() == 0 && c.green() == 128 && c.blue() == 255;
        }
    }
    EXPECT_TRUE(tinted) << name << " has no pixel fully in the tint";
    EXPECT_FALSE(symbols::symbolIcon(name, Qt::red).pixmap(QSize(20, 20)).isNull()) << name;
}

INSTANTIATE_TEST_SUITE_P(Views, EveryUsedSymbol, ::testing::ValuesIn(symbols::usedSymbolNames()), [](const auto& info) {
    std::string name(info.param);
    for (char& c : name) {
        c = c == '.' ? '_' : c;
    }
    return name;
});

/// The share of `pixmap` that is drawn, weighted by coverage, and where the drawing's bounding
/// box lies, both relative to the pixmap's size so that ratios compare.
struct Coverage {
    qreal share = 0;
    QRectF box;
};

Coverage coverage(const QImage& picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    qreal alpha = 0;
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int a = qAlpha(image.pixel(x, y));
            alpha += a / 255.0;
            if (a > 0) {
                left = std::min(left, x);
                top = std::min(top, y);
                right = std::max(right, x);
                bottom = std::max(bottom, y);
            }
        }
    }
    const qreal w = image.width();
    const qreal h = image.height();
    return {alpha / (w * h), QRectF(left / w, top / h, (right + 1 - left) / w, (bottom + 1 - top) / h)};
}

struct IconRatioCase {
    const char* name;
    int logical;
    qreal ratio;
    bool painted; // drawn with QIcon::paint onto a device of that ratio, else QIcon::pixmap()
};

const IconRatioCase kIconRatioCases[] = {
    {"PixmapAt1x", 20, 1.0, false},    {"PixmapAt1_5x", 20, 1.5, false}, {"PixmapAt2x", 20, 2.0, false},
    {"PixmapAt3x", 16, 3.0, false},    {"PaintedAt2x", 20, 2.0, true},   {"PaintedAt1_5x", 16, 1.5, true},
    {"OddSizeAt1_5x", 15, 1.5, false},
};

class SymbolIconRatio : public ::testing::TestWithParam<IconRatioCase> {};

TEST_P(SymbolIconRatio, HasTheDeviceSizeAndFillsItLikeAt1x)
{
    const IconRatioCase& c = GetParam();
    const QIcon icon = symbols::symbolIcon("hand.raised.fill", QColor(0, 128, 255));
    const int device = qRound(c.logical * c.ratio);
    QImage picture;
    if (c.painted) {
        picture = QImage(device, device, QImage::Format_ARGB32_Premultiplied);
        picture.setDevicePixelRatio(c.ratio);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        icon.paint(&painter, QRect(0, 0, c.logical, c.logical));
    } else {
        const QPixmap pixmap = icon.pixmap(QSize(c.logical, c.logical), c.ratio);
        EXPECT_EQ(pixmap.size(), QSize(device, device));
        EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), c.ratio);
        EXPECT_EQ(pixmap.deviceIndependentSize().toSize(), QSize(c.logical, c.logical));
        picture = pixmap.toImage();
    }
    const Coverage reference = coverage(symbols::symbolPixmap("hand.raised.fill", 48, Qt::black).toImage());
    const Coverage drawn = coverage(picture);
    EXPECT_NEAR(drawn.share, reference.share, 0.08);
    EXPECT_NEAR(drawn.box.left(), reference.box.left(), 0.1);
    EXPECT_NEAR(drawn.box.top(), reference.box.top(), 0.1);
    EXPECT_NEAR(drawn.box.width(), reference.box.width(), 0.1);
    EXPECT_NEAR(drawn.box.height(), reference.box.height(), 0.1);
}

INSTANTIATE_TEST_SUITE_P(Views, SymbolIconRatio, ::testing::ValuesIn(kIconRatioCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Symbols, AnUnknownNameGivesNothingRatherThanABox)
{
    EXPECT_FALSE(symbols::hasSymbol("no.such.symbol"));
    EXPECT_TRUE(symbols::symbolPixmap("no.such.symbol", 24, Qt::black).isNull());
    EXPECT_TRUE(symbols::symbolIcon("no.such.symbol", Qt::black).isNull());
}

TEST(Symbols, TheLogoKeepsItsAspectRatio)
{
    const QPixmap logo = symbols::imagePixmap("BonklyLogo", QSize(64, 32));
    ASSERT_FALSE(logo.isNull());
    EXPECT_EQ(logo.size(), QSize(32, 32));
}

} // namespace
