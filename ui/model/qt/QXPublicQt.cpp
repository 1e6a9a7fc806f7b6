// The shared helpers that need Qt: type titles, dates, the network check.
#include <QDateTime>
#include <QEventLoop>
#include <QLocale>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include "model/QXPublic.h"
#include "model/qt/TextLookup.h"

namespace {

struct TypeTitle {
    unsigned type;
    const char* key;
    // Used when no table has the key: empty titles would all be equal, and
    // every type folder would read as documents.
    const char* english;
};

constexpr TypeTitle kTitles[] = {
    {FILTER_DOCUMENT, "KMP_TWO_DOCUMENT_TITLE", "Documents"}, {FILTER_PICTURES, "KMP_TWO_PICTURE_TITLE", "Pictures"},
    {FILTER_MOVIES, "KMP_TWO_MOVIE_TITLE", "Movies"},         {FILTER_MUSIC, "KMP_TWO_MUSIC_TITLE", "Music"},
    {FILTER_ARCHIVES, "KMP_TWO_ARCHIVES_TITLE", "Archives"},  {FILTER_EMAIL, "KMP_TWO_EMAIL_TITLE", "E-mail"},
    {FILTER_OTHER, "KMP_TWO_OTHER_TITLE", "Other Files"},
};

QMutex g_networkLock;
QString g_networkAddress;

constexpr char kDefaultNetworkAddress[] = "https://www.debian.org/";
constexpr int kNetworkTimeoutMs = 5000;

}  // namespace

std::string QXCPPPublic::FilterTypeToString(unsigned type) {
    for (const TypeTitle& title : kTitles) {
        if (title.type != type) continue;
        const QString text = L(QString::fromLatin1(title.key));
        return text.isEmpty() ? std::string(title.english) : text.toStdString();
    }
    return "";
}

unsigned QXCPPPublic::StringToFilterType(const char* text) {
    if (text == nullptr) return FILTER_OTHER;
    for (const TypeTitle& title : kTitles)
        if (FilterTypeToString(title.type) == text) return title.type;
    return FILTER_OTHER;
}

bool QXCPPPublic::IsTypeString(const char* text, unsigned type) {
    return text != nullptr && FilterTypeToString(type) == text;
}

std::string QXUIPublic::FormatFileTimeToString(FILETIME_VALUE time) {
    const QDateTime when = QDateTime::fromSecsSinceEpoch(convertWindowsTimeToUnixTime(time));
    const QLocale locale;
    return (locale.toString(when.date(), QLocale::LongFormat) + " " +
            locale.toString(when.time(), QLocale::ShortFormat))
        .toStdString();
}

void QXPublicUtilities::SetNetworkCheckAddress(const std::string& url) {
    QMutexLocker hold(&g_networkLock);
    g_networkAddress = QString::fromStdString(url);
}

bool QXPublicUtilities::isCanBeUseNetWork() {
    QString address;
    {
        QMutexLocker hold(&g_networkLock);
        address = g_networkAddress.isEmpty() ? QString::fromLatin1(kDefaultNetworkAddress) : g_networkAddress;
    }
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(address)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(kNetworkTimeoutMs);
    QNetworkReply* reply = manager.get(request);
    bool gotData = false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        gotData = true;
        loop.quit();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(kNetworkTimeoutMs);
    loop.exec();
    if (!gotData) gotData = reply->bytesAvailable() > 0;
    reply->abort();
    delete reply;
    return gotData;
}
