#include "model/qt/QXTypeMgr.h"

#include <plist/plist.h>

#include <QFile>
#include <cstring>
#include <memory>

#include "foundation/Log.h"
#include "model/qt/TextLookup.h"
#include "recovery/RecoveryFilter.h"

namespace {

constexpr unsigned kCategoryBits[] = {1, 2, 4, 8, 16, 32};
constexpr unsigned kOther = 64;

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};

QString StringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return QString();
    // By pointer and length: the copying getter aborts on an embedded NUL.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text != nullptr ? QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, length))) : QString();
}

}  // namespace

QXTypeMgr& QXTypeMgr::share() {
    static auto* manager = new QXTypeMgr();
    return *manager;
}

QXTypeMgr::QXTypeMgr() {
    L(QString());  // registers the model's resources
    QFile file(":/quillory/model/FileType.plist");
    if (!file.open(QIODevice::ReadOnly) || !init(file.readAll()))
        LogDiagnostic("the file-type categories cannot be read\n");
}

bool QXTypeMgr::init(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > (1 << 24)) return false;
    plist_t root = nullptr;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (plist_is_binary(bytes.constData(), length))
        plist_from_bin(bytes.constData(), length, &root);
    else
        plist_from_xml(bytes.constData(), length, &root);
    std::unique_ptr<void, PlistFree> owner(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return false;

    QHash<unsigned, QStringList> lists;
    for (unsigned bit : kCategoryBits) {
        plist_t entry = plist_dict_get_item(root, QByteArray::number(bit).constData());
        if (entry == nullptr) continue;
        QStringList& list = lists[bit];
        if (plist_get_node_type(entry) == PLIST_ARRAY) {
            const std::uint32_t count = plist_array_get_size(entry);
            for (std::uint32_t i = 0; i < count; ++i) {
                const QString extension = StringOf(plist_array_get_item(entry, i)).trimmed();
                if (!extension.isEmpty()) list.append(extension);
            }
        } else if (plist_get_node_type(entry) == PLIST_STRING) {
            list = StringOf(entry).split(';', Qt::SkipEmptyParts);
        }
    }
    m_lists = lists;
    m_typeOf.clear();
    // Listed under two categories, an extension belongs to the higher bit.
    for (unsigned bit : kCategoryBits)
        for (const QString& extension : m_lists.value(bit)) m_typeOf.insert(extension.toLower(), bit);
    return true;
}

QString QXTypeMgr::getTypeString(unsigned bit) const {
    auto it = m_lists.find(bit);
    if (it == m_lists.end()) return QString();
    // A category listed empty answers "", not null.
    const QString joined = it->join(';');
    return joined.isNull() ? QStringLiteral("") : joined;
}

unsigned QXTypeMgr::typeOfExtension(const QString& extension) const {
    return m_typeOf.value(extension.toLower(), kOther);
}

std::map<int, std::string> initFileType() {
    std::map<int, std::string> lists;
    for (unsigned bit : kCategoryBits) {
        // The engine's table hashes bytes: only ASCII extensions are handed on.
        QString text = QXTypeMgr::share().getTypeString(bit);
        QStringList ascii;
        for (const QString& extension : text.split(';', Qt::SkipEmptyParts)) {
            bool plain = true;
            for (QChar c : extension) plain = plain && c.unicode() < 0x80;
            if (plain) ascii.append(extension);
        }
        lists[static_cast<int>(bit)] = ascii.join(';').toStdString();
    }
    std::map<int, std::string> handed = lists;
    CFileTypeManager::Initialze(lists);
    return handed;
}
