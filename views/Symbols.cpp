#include "views/Symbols.h"

#include "views/SquareIconEngine.h"

#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>
#include <memory>

Q_LOGGING_CATEGORY(lcSymbols, "thwacko.views.symbols")

namespace {

QString symbolPath(std::string_view name)
{
    return QStringLiteral(":/symbols/") + QString::fromUtf8(name.data(), qsizetype(name.size())) +
           QStringLiteral(".svg");
}

QString imagePath(std::string_view name)
{
    return QStringLiteral(":/images/") + QString::fromUtf8(name.data(), qsizetype(name.size())) +
           QStringLiteral(".svg");
}

/// One parsed renderer per file, kept for the life of the process.
QSvgRenderer* renderer(const QString& path)
{
    static QHash<QString, std::shared_ptr<QSvgRenderer>> renderers;
    if (auto found = renderers.find(path); found != renderers.end()) {
        return found->get();
    }
    if (!QFile::exists(path)) {
        return nullptr;
    }
    auto made = std::make_shared<QSvgRenderer>(path);
    if (!made->isValid()) {
        qCWarning(lcSymbols) << "cannot parse" << path;
        return nullptr;
    }
    renderers.insert(path, made);
    return made.get();
}

/// The pixmap of a finished drawing. A pixmap made from the image itself would keep the paint
/// engine that drew it (its rasteriser and stroker buffers, tens of KiB) for as long as the
/// pixmap is cached; a copy of the pixels leaves it behind with the image.
QPixmap finishedPixmap(const QImage& drawn) { return QPixmap::fromImage(drawn.copy()); }

QPixmap renderTinted(QSvgRenderer& svg, QSize devicePixels, const QColor& tint)
{
    QImage image(devicePixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter, QRectF(QPointF(0, 0), QSizeF(devicePixels)));
        // The drawing's own colour only marks coverage; the caller's tint replaces it.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), tint);
    }
    return finishedPixmap(image);
}

/// Draws the symbol afresh at whatever size and pixel ratio the widget asks for.
class SymbolIconEngine final : public SquareIconEngine {
public:
    SymbolIconEngine(QString name, QColor tint)
        : name(std::move(name))
        , tint(tint)
    {
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(name, tint); }
    QString key() const override { return QStringLiteral("thwacko.symbol"); }
    QString iconName() override { return name; }

protected:
    QPixmap render(int side, qreal ratio, QIcon::Mode mode, QIcon::State) const override
    {
        QColor color = tint;
        if (mode == QIcon::Disabled) {
            color.setAlphaF(color.alphaF() * 0.4f);
        }
        return symbols::symbolPixmap(name.toStdString(), side, color, ratio);
    }

private:
    QString name;
    QColor tint;
};

} // namespace

namespace symbols {

bool hasSymbol(std::string_view name) { return renderer(symbolPath(name)) != nullptr; }

QIcon symbolIcon(std::string_view name, const QColor& tint)
{
    if (!hasSymbol(name)) {
        qCWarning(lcSymbols) << "no symbol named" << QString::fromUtf8(name.data(), qsizetype(name.size()));
        return {};
    }
    return QIcon(new SymbolIconEngine(QString::fromUtf8(name.data(), qsizetype(name.size())), tint));
}

QPixmap symbolPixmap(std::string_view name, int logicalPx, const QColor& tint, qreal devicePixelRatio)
{
    if (logicalPx <= 0 || devicePixelRatio <= 0) {
        return {};
    }
    const QString path = symbolPath(name);
    const QString cacheKey = path + u'|' + QString::number(logicalPx) + u'|' + tint.name(QColor::HexArgb) + u'|' +
                             QString::number(devicePixelRatio);
    static QHash<QString, QPixmap> cache;
    if (auto found = cache.find(cacheKey); found != cache.end()) {
        return *found;
    }
    QSvgRenderer* svg = renderer(path);
    if (!svg) {
        return {};
    }
    const int device = int(std::lround(logicalPx * devicePixelRatio));
    QPixmap pixmap = renderTinted(*svg, QSize(device, device), tint);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    cache.insert(cacheKey, pixmap);
    return pixmap;
}

qreal imageAspectRatio(std::string_view name)
{
    QSvgRenderer* svg = renderer(imagePath(name));
    if (!svg || svg->viewBoxF().height() <= 0) {
        return 1.0;
    }
    return svg->viewBoxF().width() / svg->viewBoxF().height();
}

QPixmap imagePixmap(std::string_view name, QSize logicalSize, qreal devicePixelRatio)
{
    QSvgRenderer* svg = renderer(imagePath(name));
    if (!svg || logicalSize.isEmpty()) {
        return {};
    }
    const QSizeF fitted = QSizeF(svg->viewBoxF().size()).scaled(QSizeF(logicalSize), Qt::KeepAspectRatio);
    const QSize device(int(std::lround(fitted.width() * devicePixelRatio)),
                       int(std::lround(fitted.height() * devicePixelRatio)));
    QImage image(device, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg->render(&painter, QRectF(QPointF(0, 0), QSizeF(device)));
    }
    QPixmap pixmap = finishedPixmap(image);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

} // namespace symbols
