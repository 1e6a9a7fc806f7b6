#include "foundation/MessageCenter.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/Log.h"

mutex_locker& g_lockerMSG = *new mutex_locker;
mutex_locker& m_CriticalSection = *new mutex_locker;

_MSG_EVENT* AllocMsgEvent(std::int32_t type, std::int32_t length, const void* data) {
    if (length < 0 || (length > 0 && data == nullptr)) return nullptr;
    auto* event = static_cast<_MSG_EVENT*>(std::malloc(static_cast<std::size_t>(length) + 12));
    if (event == nullptr) return nullptr;
    event->type = type;
    event->length = length;
    if (length > 0) std::memcpy(MsgEventPayload(event), data, static_cast<std::size_t>(length));
    return event;
}

void FreeMsgEvent(_MSG_EVENT* event) { std::free(event); }

// ---------------------------------------------------------------------------
// CMessageCenter

CMessageCenter* CMessageCenter::Instance() {
    static CMessageCenter* centre = [] {
        auto* c = new CMessageCenter;
        c->StartReceiveMessage();
        return c;
    }();
    return centre;
}

CMessageCenter::CMessageCenter() = default;

CMessageCenter::~CMessageCenter() {
    StopReceiveMessage();
    autolocker<mutex_locker> guard(g_lockerMSG);
    ReleaseMessage();
    m_receivers.clear();
}

void CMessageCenter::StartReceiveMessage() {
    std::lock_guard<std::mutex> control(m_control);
    {
        std::lock_guard<std::mutex> g(m_wakeLock);
        m_stop = false;
    }
    if (m_thread.joinable()) return;
    {
        autolocker<mutex_locker> guard(g_lockerMSG);
        ReleaseMessage();
        m_hasThread = true;
    }
    try {
        m_thread = std::thread(&CMessageCenter::DeliveryThread, this);
    } catch (...) {
        autolocker<mutex_locker> guard(g_lockerMSG);
        m_hasThread = false;
    }
}

void CMessageCenter::StopReceiveMessage() {
    std::lock_guard<std::mutex> control(m_control);
    {
        std::lock_guard<std::mutex> g(m_wakeLock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (!m_thread.joinable()) return;
    m_thread.join();
    // Pushes may have come in until now: drop them with the thread's record.
    autolocker<mutex_locker> guard(g_lockerMSG);
    m_hasThread = false;
    ReleaseMessage();
}

void CMessageCenter::PushEvent(EVENT_TYPE type, int length, void* data) {
    autolocker<mutex_locker> guard(g_lockerMSG);
    if (!m_hasThread || m_queue.size() >= kMaxQueuedEvents) return;
    _MSG_EVENT* event = AllocMsgEvent(type, length, data);
    if (event == nullptr) return;
    try {
        m_queue.push_back(event);
    } catch (...) {
        FreeMsgEvent(event);
    }
}

_MSG_EVENT* CMessageCenter::PopEvent() {
    autolocker<mutex_locker> guard(g_lockerMSG);
    if (m_queue.empty()) return nullptr;
    _MSG_EVENT* event = m_queue.front();
    m_queue.pop_front();
    return event;
}

void CMessageCenter::SendEvent(_MSG_EVENT* event) {
    if (event == nullptr) return;
    {
        autolocker<mutex_locker> guard(g_lockerMSG);
        for (auto& entry : m_receivers) entry.second->Notify(event);
    }
    FreeMsgEvent(event);
}

bool CMessageCenter::RegisterNotifyCenter(int key, INotifyCenter* centre) {
    if (centre == nullptr) return false;
    autolocker<mutex_locker> guard(g_lockerMSG);
    return m_receivers.emplace(key, centre).second;
}

void CMessageCenter::UnregisterNotifyCenter(int key) {
    autolocker<mutex_locker> guard(g_lockerMSG);
    m_receivers.erase(key);
}

INotifyCenter* CMessageCenter::GetNotifyCenter(int key) {
    autolocker<mutex_locker> guard(g_lockerMSG);
    auto it = m_receivers.find(key);
    return it == m_receivers.end() ? nullptr : it->second;
}

void CMessageCenter::UpdateNotifyCenter(int key, INotifyCenter* centre) {
    if (centre == nullptr) return;
    autolocker<mutex_locker> guard(g_lockerMSG);
    m_receivers[key] = centre;
}

void CMessageCenter::Clear() {
    autolocker<mutex_locker> guard(g_lockerMSG);
    ReleaseMessage();
}

void CMessageCenter::ReleaseMessage() {
    for (_MSG_EVENT* event : m_queue) FreeMsgEvent(event);
    m_queue.clear();
}

bool CMessageCenter::IsReceiving() {
    autolocker<mutex_locker> guard(g_lockerMSG);
    return m_hasThread;
}

std::size_t CMessageCenter::QueuedCount() {
    autolocker<mutex_locker> guard(g_lockerMSG);
    return m_queue.size();
}

void CMessageCenter::SetDeliveryInterval(std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> g(m_wakeLock);
    m_interval = interval.count() > 0 ? interval : std::chrono::milliseconds(1000);
}

void CMessageCenter::DeliveryThread() {
    std::unique_lock<std::mutex> lk(m_wakeLock);
    while (!m_stop) {
        lk.unlock();
        SendEvent(PopEvent());
        lk.lock();
        // Sleeps the interval, but wakes at once when stopped.
        m_wake.wait_for(lk, m_interval, [this] { return m_stop; });
    }
    lk.unlock();
    autolocker<mutex_locker> guard(g_lockerMSG);
    ReleaseMessage();
}

// ---------------------------------------------------------------------------
// CMyNotifyCenter

CMyNotifyCenter::~CMyNotifyCenter() { delete[] m_payload; }

int CMyNotifyCenter::Notify(_MSG_EVENT* event) {
    if (event == nullptr) return 0;
    delete[] m_payload;
    m_payload = nullptr;
    if (event->length > 0) {
        m_payload = new (std::nothrow) unsigned char[static_cast<std::size_t>(event->length)];
        if (m_payload != nullptr)
            std::memcpy(m_payload, MsgEventPayload(event), static_cast<std::size_t>(event->length));
    }
    NotifyObserver(event->type);
    return 1;
}

void CMyNotifyCenter::NotifyObserver(int type) {
    autolocker<mutex_locker> guard(m_CriticalSection);
    for (INotifyObserver* observer : m_observers) observer->Notify(type, m_payload);
}

void CMyNotifyCenter::AddObserver(INotifyObserver* observer) {
    autolocker<mutex_locker> guard(m_CriticalSection);
    m_observers.push_back(observer);
}

void CMyNotifyCenter::RemoveObserver(INotifyObserver* observer) {
    autolocker<mutex_locker> guard(m_CriticalSection);
    for (auto it = m_observers.begin(); it != m_observers.end(); ++it) {
        if (*it == observer) {
            m_observers.erase(it);
            return;
        }
    }
}

CMyNotifyCenter* CMyNotifyCenter::Instance() {
    static CMyNotifyCenter* centre = new CMyNotifyCenter;
    return centre;
}

// ---------------------------------------------------------------------------
// CProgressNotify

namespace {

std::mutex& HookLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
CProgressNotify::BadSectorHook g_badSectorHook = nullptr;  // guarded by HookLock
void* g_badSectorContext = nullptr;

// The centre that progress observers join when key 1 has none; one for the
// process, so a centre left behind by an unregistration is never leaked.
CMyNotifyCenter* ProgressCentre() {
    static CMyNotifyCenter* centre = [] {
        auto* c = new CMyNotifyCenter;
        c->SetType(CProgressNotify::kKey);
        return c;
    }();
    return centre;
}

}  // namespace

CProgressNotify::CProgressNotify(CMessageCenter* centre) : m_centre(centre) {
    if (m_centre == nullptr) return;
    m_notify = dynamic_cast<CMyNotifyCenter*>(m_centre->GetNotifyCenter(kKey));
    if (m_notify == nullptr) m_notify = ProgressCentre();
    m_notify->AddObserver(this);
    m_centre->UpdateNotifyCenter(kKey, m_notify);
}

CProgressNotify::~CProgressNotify() {
    if (m_centre == nullptr) return;
    // Leave the centre joined even if key 1 was unregistered meanwhile (a
    // volume device's destructor does that), so no stale observer remains.
    if (m_notify != nullptr) m_notify->RemoveObserver(this);
    m_centre->UnregisterNotifyCenter(kKey);
}

void CProgressNotify::Notify(int type, void*) {
    if (type != EVENT_TYPE_READ_FAILED) return;
    std::lock_guard<std::mutex> g(HookLock());
    if (g_badSectorHook != nullptr)
        g_badSectorHook(g_badSectorContext);
    else
        CatchExeception::WriteLog("BadSectorNotify\n");
}

void CProgressNotify::SetBadSectorHook(BadSectorHook hook, void* context) {
    std::lock_guard<std::mutex> g(HookLock());
    g_badSectorHook = hook;
    g_badSectorContext = context;
}
