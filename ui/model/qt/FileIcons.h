#pragma once
// The icon of a file's type, for rows, previews and the type tree. Looked up
// by extension through the MIME database and the desktop's icon theme; a
// machine without a theme (a server, a CI runner) gets the model's own
// document icon, so callers never receive a null icon.

#include <QIcon>
#include <QImage>
#include <QString>

// `extension` without the dot, any case; empty for none.
QIcon FileIconForExtension(const QString& extension);
// The same icon as a picture of at most `side` x `side`, scaled smoothly with
// its aspect kept; never null.
QImage FileIconImage(const QString& extension, int side);
