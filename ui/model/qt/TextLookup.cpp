#include "model/qt/TextLookup.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMutex>
#include <QStringList>

#include "foundation/Log.h"

static void InitModelResources() { Q_INIT_RESOURCE(model); }

namespace {

struct Tables {
    QMutex lock;
    QStringList dirs;
    QString language;
    QHash<QString, QHash<QString, QString>> byLanguage;  // loaded on first use
    bool initialised = false;
};

Tables& State() {
    static Tables tables;
    return tables;
}

QHash<QString, QString> Load(const QStringList& dirs, const QString& language) {
    QHash<QString, QString> table;
    for (const QString& dir : dirs) {
        QFile file(dir + "/" + language + ".json");
        if (!file.open(QIODevice::ReadOnly)) continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
        if (!doc.isObject()) {
            LogDiagnostic("text table %s ignored: %s\n", qPrintable(file.fileName()), qPrintable(error.errorString()));
            continue;
        }
        const QJsonObject object = doc.object();
        for (auto it = object.begin(); it != object.end(); ++it)
            if (it.value().isString()) table.insert(it.key(), it.value().toString());
    }
    return table;
}

const QHash<QString, QString>& TableFor(Tables& t, const QString& language) {
    auto it = t.byLanguage.find(language);
    if (it == t.byLanguage.end()) it = t.byLanguage.insert(language, Load(t.dirs, language));
    return *it;
}

}  // namespace

QString L(const QString& key) {
    Tables& t = State();
    QMutexLocker hold(&t.lock);
    if (!t.initialised) {
        InitModelResources();
        t.dirs.prepend(":/quillory/model/lang");
        t.initialised = true;
    }
    const QString language = t.language.isEmpty() ? QLocale().name().section('_', 0, 0) : t.language;
    for (const QString& lang : {language, QStringLiteral("en")}) {
        const QHash<QString, QString>& table = TableFor(t, lang);
        auto found = table.find(key);
        if (found != table.end()) return *found;
    }
    return QString();
}

std::string LText(const char* key) { return key == nullptr ? std::string() : L(QString::fromUtf8(key)).toStdString(); }

void AddTextTables(const QString& dir) {
    Tables& t = State();
    QMutexLocker hold(&t.lock);
    t.dirs.append(dir);
    t.byLanguage.clear();
}

void SetTextLanguage(const QString& language) {
    Tables& t = State();
    QMutexLocker hold(&t.lock);
    t.language = language;
}
