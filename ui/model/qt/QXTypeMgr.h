#pragma once
// The file-type categories: which extensions are documents, pictures,
// movies, music, archives and e-mail, read from FileType.plist (a resource
// of the model). The engine's file-type table is filled from them at start
// (initFileType), and the type tree files found nodes by them.

#include <QHash>
#include <QString>
#include <QStringList>
#include <map>

class QXTypeMgr {
public:
    // The one manager, loaded on first use and never destroyed.
    static QXTypeMgr& share();

    // Loads the categories from a property list whose keys are the category
    // bits ("1" .. "32") and whose values are arrays of extensions; false
    // (and nothing loaded) when the bytes are no such list.
    bool init(const QByteArray& plist);
    // The extensions of one category bit joined with ";"; a null string for
    // a bit without an entry.
    QString getTypeString(unsigned bit) const;
    // The category bit of an extension (any case); 64 for one not listed.
    unsigned typeOfExtension(const QString& extension) const;

private:
    QXTypeMgr();
    QHash<unsigned, QStringList> m_lists;
    QHash<QString, unsigned> m_typeOf;  // lower-case extension -> bit
};

// Hands the six categories to the engine's file-type table. Run it at start,
// before anything makes the engine's filter (QXUIFilter::instance()): the
// filter fills its table once, when it is made. Returns the map it handed.
std::map<int, std::string> initFileType();
