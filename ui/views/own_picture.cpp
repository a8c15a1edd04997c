#include "ui/views/own_picture.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <array>

namespace zul {
namespace {

constexpr int kTextNotAPicture = 1194;
constexpr int kTextCannotShrink = 1196;
// Larger images are refused before they are decoded (about 64 megapixels).
constexpr qint64 kMaxSourcePixels = 8192LL * 8192LL;

QByteArray Encode(const QImage& image, const char* format, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format, quality)) return {};
    return bytes;
}

// A JPEG has no transparency: what was transparent becomes white, as most lists draw it.
QImage Flattened(const QImage& image) {
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    return flat;
}

}  // namespace

PreparedPicture PrepareOwnPicture(const QString& path, size_t maxBytes) {
    PreparedPicture result;
    result.errorTextId = kTextNotAPicture;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return result;
    if (file.size() > kMaxPictureFileBytes) {
        result.errorTextId = kTextCannotShrink;
        return result;
    }
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    const QByteArray format = reader.format();
    if (format != "png" && format != "jpeg" && format != "gif") return result;
    const QSize size = reader.size();
    if (size.isValid() && qint64{size.width()} * size.height() > kMaxSourcePixels) return result;
    QImage image = reader.read();
    if (image.isNull()) return result;

    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int side = kOwnPictureSide; side >= 16; side -= 16) {
        const QImage scaled =
            image.width() > side || image.height() > side
                ? image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                : image;
        QByteArray bytes = Encode(scaled, "PNG", -1);
        for (int quality : std::array{90, 75, 60, 45, 30}) {
            if (!bytes.isEmpty() && static_cast<size_t>(bytes.size()) <= maxBytes) break;
            bytes = Encode(Flattened(scaled), "JPEG", quality);
        }
        if (!bytes.isEmpty() && static_cast<size_t>(bytes.size()) <= maxBytes) {
            result.bytes.assign(bytes.begin(), bytes.end());
            result.errorTextId = 0;
            return result;
        }
    }
    result.errorTextId = kTextCannotShrink;
    return result;
}

}  // namespace zul
