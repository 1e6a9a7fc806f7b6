#include "model/qt/PrivateDataStore.h"

#include <plist/plist.h>

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <cstring>
#include <memory>

#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/qt/TextLookup.h"

namespace {

struct PlistFree {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

QMap<QString, QString> ReadFile(const QString& path, bool logDamage) {
    QMap<QString, QString> out;
    QFile file(path);
    if (!file.exists()) return out;
    if (!file.open(QIODevice::ReadOnly) || !ParsePrivateDataPlist(file.readAll(), out)) {
        out.clear();
        if (logDamage) LogDiagnostic("private data %s is damaged; defaults used\n", qPrintable(path));
    }
    return out;
}

}  // namespace

bool ParsePrivateDataPlist(const QByteArray& bytes, QMap<QString, QString>& out) {
    // libplist wants a length that fits 32 bits; a private-data file is small.
    if (bytes.isEmpty() || bytes.size() > (1 << 24)) return false;
    plist_t root = nullptr;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (plist_is_binary(bytes.constData(), length))
        plist_from_bin(bytes.constData(), length, &root);
    else
        plist_from_xml(bytes.constData(), length, &root);
    PlistPtr owner(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return false;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    if (it == nullptr) return true;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(root, it, &key, &item);
        if (key == nullptr) break;
        if (item != nullptr && plist_get_node_type(item) == PLIST_STRING) {
            // Read by pointer and length: libplist's copying getter aborts on
            // a string that holds a NUL, which a damaged file can.
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(item, &length);
            if (text != nullptr)
                out.insert(QString::fromUtf8(key),
                           QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, length))));
        }
        free(key);
    }
    free(it);
    return true;
}

PrivateDataStore& PrivateDataStore::instance() {
    static PrivateDataStore store;
    return store;
}

QString PrivateDataStore::UserFilePath() {
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/PrivateData.plist";
}

void PrivateDataStore::LoadLocked() {
    if (m_loaded) return;
    L(QString());  // makes sure the model's resources are registered
    m_defaults = ReadFile(":/quillory/model/PrivateData.plist", true);
    m_user = ReadFile(UserFilePath(), true);
    m_loaded = true;
}

QString PrivateDataStore::value(const QString& key) {
    QMutexLocker hold(&m_lock);
    LoadLocked();
    auto it = m_user.find(key);
    if (it != m_user.end()) return *it;
    return m_defaults.value(key);
}

bool PrivateDataStore::setValue(const QString& key, const QString& value) {
    QMutexLocker hold(&m_lock);
    LoadLocked();
    m_user.insert(key, value);
    PlistPtr dict(plist_new_dict());
    for (auto it = m_user.begin(); it != m_user.end(); ++it)
        plist_dict_set_item(dict.get(), it.key().toUtf8().constData(),
                            plist_new_string(it.value().toUtf8().constData()));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(dict.get(), &xml, &length);
    if (xml == nullptr) return false;
    const QByteArray bytes(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    const QString path = UserFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        LogDiagnostic("private data %s cannot be written\n", qPrintable(path));
        return false;
    }
    return true;
}

void PrivateDataStore::reload() {
    QMutexLocker hold(&m_lock);
    m_loaded = false;
    m_defaults.clear();
    m_user.clear();
}

std::string QXPublicUtilities::getProductName() {
    return PrivateDataStore::instance().value("PRODUCTNAME").toStdString();
}

std::string QXPublicUtilities::getUpDataTimeStr() {
    return PrivateDataStore::instance().value("upDataTimeStr").toStdString();
}

bool QXPublicUtilities::writeUpDataTimeStr(const std::string& text) {
    return PrivateDataStore::instance().setValue("upDataTimeStr", QString::fromStdString(text));
}
