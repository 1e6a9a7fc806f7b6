#include "model/qt/LoginItems.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

QString ProgramOrSelf(const QString& program) {
    return program.isEmpty() ? QCoreApplication::applicationFilePath() : program;
}

// Exec= quoting of the desktop-entry format: the path in double quotes, with
// its own quotes, backquotes, dollars and backslashes escaped.
QString ExecLine(const QString& program) {
    QString quoted = program;
    for (const QString& c : {QStringLiteral("\\"), QStringLiteral("\""), QStringLiteral("`"), QStringLiteral("$")})
        quoted.replace(c, "\\" + c);
    return "\"" + quoted + "\"";
}

}  // namespace

QString LKLoginItemRegistry::AutostartFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/autostart/quillory.desktop";
}

bool LKLoginItemRegistry::addAppAsLoginItem(const QString& program) {
    const QString path = AutostartFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const QString entry = QStringLiteral(
                              "[Desktop Entry]\nType=Application\nName=Quillory\nExec=%1\n"
                              "X-GNOME-Autostart-enabled=true\n")
                              .arg(ExecLine(ProgramOrSelf(program)));
    file.write(entry.toUtf8());
    return file.commit();
}

bool LKLoginItemRegistry::deleteAppFromLoginItem(const QString& program) {
    QFile file(AutostartFile());
    if (!file.exists()) return true;
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    if (!text.contains("Exec=" + ExecLine(ProgramOrSelf(program)) + "\n")) return true;
    return QFile::remove(AutostartFile());
}
