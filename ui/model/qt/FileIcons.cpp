#include "model/qt/FileIcons.h"

#include <QHash>
#include <QMimeDatabase>
#include <QMutex>
#include <QMutexLocker>

namespace {

QIcon BuiltInIcon() {
    static const QIcon icon(QStringLiteral(":/quillory/model/icons/file.png"));
    return icon;
}

QIcon LookUp(const QString& extension) {
    if (!extension.isEmpty()) {
        static const QMimeDatabase db;
        const QMimeType type = db.mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
        if (type.isValid()) {
            QIcon icon = QIcon::fromTheme(type.iconName());
            if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
            if (!icon.isNull()) return icon;
        }
    }
    return BuiltInIcon();
}

}  // namespace

QIcon FileIconForExtension(const QString& extension) {
    // Rows of one folder ask for the same few extensions thousands of times;
    // the theme lookup reads the disk, so each answer is kept.
    static QMutex lock;
    static QHash<QString, QIcon> cache;
    const QString key = extension.toLower();
    QMutexLocker hold(&lock);
    auto it = cache.constFind(key);
    if (it != cache.constEnd()) return *it;
    QIcon icon = LookUp(key);
    cache.insert(key, icon);
    return icon;
}

QImage FileIconImage(const QString& extension, int side) {
    const QIcon icon = FileIconForExtension(extension);
    QImage image = icon.pixmap(side, side).toImage();
    if (image.isNull()) image = QImage(QStringLiteral(":/quillory/model/icons/file.png"));
    if (image.width() > side || image.height() > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
