#pragma once
// Engine events: code deep inside a scan (a volume whose read failed) pushes
// a small typed event; one delivery thread hands at most one event per
// interval (a second) to the registered notify centres, which pass it on to
// their observers.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/Locks.h"

enum EVENT_TYPE : std::int32_t {
    // A sector read of a volume failed (no payload).
    EVENT_TYPE_READ_FAILED = 1,
};

// One heap block: type, payload length, then the payload bytes (allocated
// with length + 12 bytes). Made by AllocMsgEvent, freed by FreeMsgEvent.
struct _MSG_EVENT {
    std::int32_t type;
    std::int32_t length;
};
inline unsigned char* MsgEventPayload(_MSG_EVENT* event) {
    return reinterpret_cast<unsigned char*>(event) + sizeof(_MSG_EVENT);
}
// Null for a negative length, a payload without data, or no memory.
_MSG_EVENT* AllocMsgEvent(std::int32_t type, std::int32_t length, const void* data);
void FreeMsgEvent(_MSG_EVENT* event);

// Guards every message centre's receivers and queue. Never destroyed, so
// threads still running at exit can take it.
extern mutex_locker& g_lockerMSG;

class INotifyCenter {
public:
    virtual ~INotifyCenter() = default;
    virtual int Notify(_MSG_EVENT* event) = 0;
    void SetType(int type) { m_type = type; }
    int GetType() const { return m_type; }

protected:
    int m_type = 0;
};

class INotifyObserver {
public:
    virtual ~INotifyObserver() = default;
    // Runs on the delivery thread with g_lockerMSG and the observer lock
    // held: it must not push events or register centres.
    virtual void Notify(int type, void* payload) = 0;
};

class CMessageCenter {
public:
    // At most this many events wait; later ones are dropped (a dying disk
    // can fail millions of reads, delivered one a second).
    static constexpr std::size_t kMaxQueuedEvents = 1000;

    // The process-wide centre, delivering from the first call on. Never
    // destroyed: shutdown calls StopReceiveMessage.
    static CMessageCenter* Instance();

    // A separate centre (tests); not delivering until StartReceiveMessage.
    CMessageCenter();
    // Stops delivery, frees the queue and forgets the receivers.
    ~CMessageCenter();
    CMessageCenter(const CMessageCenter&) = delete;
    CMessageCenter& operator=(const CMessageCenter&) = delete;

    // Starts the delivery thread when none runs; leftover events are dropped.
    void StartReceiveMessage();
    // Stops and joins the delivery thread; queued events are dropped.
    void StopReceiveMessage();
    // Queues a copy of the payload while a delivery thread runs; otherwise,
    // or when the queue is full, the event is dropped.
    void PushEvent(EVENT_TYPE type, int length, void* data);
    // The oldest event (now the caller's), or null.
    _MSG_EVENT* PopEvent();
    // Hands the event to every centre in ascending key order, then frees it.
    void SendEvent(_MSG_EVENT* event);
    // False for a null centre or a key in use. Centres are not owned.
    bool RegisterNotifyCenter(int key, INotifyCenter* centre);
    void UnregisterNotifyCenter(int key);
    INotifyCenter* GetNotifyCenter(int key);
    // Replaces the centre of a key, or registers it.
    void UpdateNotifyCenter(int key, INotifyCenter* centre);
    // Frees every queued event (Clear takes the lock; ReleaseMessage expects
    // the caller to hold g_lockerMSG).
    void Clear();
    void ReleaseMessage();

    bool IsReceiving();
    std::size_t QueuedCount();
    // Pause after each delivery: a second unless changed (tests).
    void SetDeliveryInterval(std::chrono::milliseconds interval);

private:
    void DeliveryThread();

    std::map<int, INotifyCenter*> m_receivers;  // guarded by g_lockerMSG
    std::list<_MSG_EVENT*> m_queue;             // guarded by g_lockerMSG
    bool m_hasThread = false;                   // guarded by g_lockerMSG
    std::thread m_thread;                       // guarded by m_control

    std::mutex m_control;  // serialises Start and Stop
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    bool m_stop = true;                          // guarded by m_wakeLock
    std::chrono::milliseconds m_interval{1000};  // guarded by m_wakeLock
};

// Fans an event out to its observers, with its own copy of the payload.
class CMyNotifyCenter : public INotifyCenter {
public:
    ~CMyNotifyCenter() override;
    // 0 for a null event; else keeps a copy of the payload, tells every
    // observer in insertion order and returns 1.
    int Notify(_MSG_EVENT* event) override;
    void NotifyObserver(int type);
    void AddObserver(INotifyObserver* observer);
    void RemoveObserver(INotifyObserver* observer);
    static CMyNotifyCenter* Instance();

private:
    std::vector<INotifyObserver*> m_observers;  // guarded by m_CriticalSection
    unsigned char* m_payload = nullptr;
};

// The lock of every CMyNotifyCenter's observers; taken after g_lockerMSG.
extern mutex_locker& m_CriticalSection;

// Turns event 1 into the front end's "BadSectorNotify" for as long as it
// lives; registered under key 1.
class CProgressNotify : public INotifyObserver {
public:
    static constexpr int kKey = 1;
    explicit CProgressNotify(CMessageCenter* centre);
    ~CProgressNotify() override;
    CProgressNotify(const CProgressNotify&) = delete;
    CProgressNotify& operator=(const CProgressNotify&) = delete;
    void Notify(int type, void* payload) override;

    // What "BadSectorNotify" does: the front end sets a hook (e.g. a queued
    // signal); without one a log line is written. Null restores the log.
    using BadSectorHook = void (*)(void* context);
    static void SetBadSectorHook(BadSectorHook hook, void* context);

private:
    CMessageCenter* m_centre;
    CMyNotifyCenter* m_notify = nullptr;  // the centre this observer joined
};
