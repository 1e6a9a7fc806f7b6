#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/MessageCenter.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Records what it is handed, with the time.
class RecordingCentre : public INotifyCenter {
public:
    struct Seen {
        int type;
        std::string payload;
        Clock::time_point at;
    };
    int Notify(_MSG_EVENT* event) override {
        std::lock_guard<std::mutex> g(lock);
        seen.push_back(
            {event->type,
             std::string(reinterpret_cast<char*>(MsgEventPayload(event)), static_cast<std::size_t>(event->length)),
             Clock::now()});
        return 1;
    }
    std::vector<Seen> Wait(std::size_t n, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        for (;;) {
            {
                std::lock_guard<std::mutex> g(lock);
                if (seen.size() >= n || Clock::now() > end) return seen;
            }
            std::this_thread::sleep_for(2ms);
        }
    }
    std::mutex lock;
    std::vector<Seen> seen;
};

class RecordingObserver : public INotifyObserver {
public:
    void Notify(int type, void* payload) override {
        types.push_back(type);
        payloads.push_back(payload ? std::string(static_cast<char*>(payload), 3) : std::string());
    }
    std::vector<int> types;
    std::vector<std::string> payloads;
};

}  // namespace

TEST(MessageCenter, PushWhileStoppedIsDropped) {
    CMessageCenter centre;
    centre.PushEvent(EVENT_TYPE_READ_FAILED, 0, nullptr);
    EXPECT_EQ(centre.QueuedCount(), 0u);
    EXPECT_FALSE(centre.IsReceiving());
}

TEST(MessageCenter, EventsArriveInOrderOnePerInterval) {
    CMessageCenter centre;
    RecordingCentre low, high;
    ASSERT_TRUE(centre.RegisterNotifyCenter(2, &high));
    ASSERT_TRUE(centre.RegisterNotifyCenter(1, &low));
    centre.SetDeliveryInterval(40ms);
    centre.StartReceiveMessage();
    char a[] = "one", b[] = "two", c[] = "six";
    centre.PushEvent(EVENT_TYPE_READ_FAILED, 3, a);
    centre.PushEvent(static_cast<EVENT_TYPE>(7), 3, b);
    centre.PushEvent(EVENT_TYPE_READ_FAILED, 3, c);
    a[0] = b[0] = c[0] = 'X';  // the queue holds copies
    const auto seen = high.Wait(3, 3000ms);
    centre.StopReceiveMessage();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].payload, "one");
    EXPECT_EQ(seen[1].payload, "two");
    EXPECT_EQ(seen[1].type, 7);
    EXPECT_EQ(seen[2].payload, "six");
    EXPECT_GE(seen[1].at - seen[0].at, 30ms);
    EXPECT_GE(seen[2].at - seen[1].at, 30ms);
    // Every centre got every event; the lower key first.
    ASSERT_EQ(low.seen.size(), 3u);
    EXPECT_LE(low.seen[0].at, seen[0].at);
}

TEST(MessageCenter, RegistrationKeys) {
    CMessageCenter centre;
    RecordingCentre first, second;
    EXPECT_FALSE(centre.RegisterNotifyCenter(1, nullptr));
    EXPECT_TRUE(centre.RegisterNotifyCenter(1, &first));
    EXPECT_FALSE(centre.RegisterNotifyCenter(1, &second));
    EXPECT_EQ(centre.GetNotifyCenter(1), &first);
    centre.UpdateNotifyCenter(1, &second);
    EXPECT_EQ(centre.GetNotifyCenter(1), &second);
    centre.UpdateNotifyCenter(5, &first);  // absent: registered
    EXPECT_EQ(centre.GetNotifyCenter(5), &first);
    centre.UnregisterNotifyCenter(1);
    EXPECT_EQ(centre.GetNotifyCenter(1), nullptr);
}

TEST(MessageCenter, StopThenStartDropsLeftoversAndTheQueueIsCapped) {
    CMessageCenter centre;
    RecordingCentre rec;
    ASSERT_TRUE(centre.RegisterNotifyCenter(1, &rec));
    centre.SetDeliveryInterval(60000ms);  // the first (empty) pop, then a long pause
    centre.StartReceiveMessage();
    std::this_thread::sleep_for(20ms);
    for (std::size_t i = 0; i < CMessageCenter::kMaxQueuedEvents + 50; ++i)
        centre.PushEvent(EVENT_TYPE_READ_FAILED, 0, nullptr);
    EXPECT_EQ(centre.QueuedCount(), CMessageCenter::kMaxQueuedEvents);
    const auto t0 = Clock::now();
    centre.StopReceiveMessage();  // wakes the pausing thread at once
    EXPECT_LT(Clock::now() - t0, 2000ms);
    EXPECT_EQ(centre.QueuedCount(), 0u);
    centre.StartReceiveMessage();
    EXPECT_EQ(centre.QueuedCount(), 0u);
    EXPECT_TRUE(centre.IsReceiving());
    centre.StopReceiveMessage();
    EXPECT_TRUE(rec.seen.empty());
}

TEST(MessageCenter, NotifyCentreFansOutToObserversWithAPayloadCopy) {
    CMyNotifyCenter centre;
    RecordingObserver one, two;
    centre.AddObserver(&one);
    centre.AddObserver(&two);
    EXPECT_EQ(centre.Notify(nullptr), 0);
    _MSG_EVENT* event = AllocMsgEvent(3, 3, "abc");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(centre.Notify(event), 1);
    FreeMsgEvent(event);
    _MSG_EVENT* empty = AllocMsgEvent(1, 0, nullptr);
    centre.RemoveObserver(&one);
    EXPECT_EQ(centre.Notify(empty), 1);
    FreeMsgEvent(empty);
    EXPECT_EQ(one.types, (std::vector<int>{3}));
    EXPECT_EQ(one.payloads, (std::vector<std::string>{"abc"}));
    EXPECT_EQ(two.types, (std::vector<int>{3, 1}));
    EXPECT_EQ(two.payloads[1], "");
    EXPECT_EQ(AllocMsgEvent(1, -1, nullptr), nullptr);
    EXPECT_EQ(AllocMsgEvent(1, 4, nullptr), nullptr);
}

namespace {
std::atomic<int> g_badSectors{0};
void CountBadSector(void*) { ++g_badSectors; }
}  // namespace

TEST(MessageCenter, ProgressNotifyTurnsReadFailuresIntoBadSectorNotices) {
    CMessageCenter centre;
    centre.SetDeliveryInterval(5ms);
    centre.StartReceiveMessage();
    CProgressNotify::SetBadSectorHook(&CountBadSector, nullptr);
    g_badSectors = 0;
    {
        CProgressNotify progress(&centre);
        ASSERT_NE(centre.GetNotifyCenter(CProgressNotify::kKey), nullptr);
        centre.PushEvent(EVENT_TYPE_READ_FAILED, 0, nullptr);
        centre.PushEvent(static_cast<EVENT_TYPE>(2), 0, nullptr);
        centre.PushEvent(EVENT_TYPE_READ_FAILED, 0, nullptr);
        for (int i = 0; i < 400 && (g_badSectors < 2 || centre.QueuedCount() > 0); ++i)
            std::this_thread::sleep_for(5ms);
        EXPECT_EQ(g_badSectors.load(), 2);
        // Key 1 unregistered behind its back (a volume device's destructor
        // does that): it still leaves its centre when it goes.
        centre.UnregisterNotifyCenter(CProgressNotify::kKey);
    }
    {
        CProgressNotify again(&centre);  // joins the same centre, alone
        centre.PushEvent(EVENT_TYPE_READ_FAILED, 0, nullptr);
        for (int i = 0; i < 400 && g_badSectors < 3; ++i) std::this_thread::sleep_for(5ms);
        EXPECT_EQ(g_badSectors.load(), 3);
    }
    EXPECT_EQ(centre.GetNotifyCenter(CProgressNotify::kKey), nullptr);
    centre.StopReceiveMessage();
    CProgressNotify::SetBadSectorHook(nullptr, nullptr);
}

TEST(MessageCenter, PushesRaceStartAndStop) {
    CMessageCenter centre;
    RecordingCentre rec;
    centre.RegisterNotifyCenter(1, &rec);
    centre.SetDeliveryInterval(1ms);
    std::atomic<bool> done{false};
    std::vector<std::thread> pushers;
    for (int t = 0; t < 3; ++t)
        pushers.emplace_back([&] {
            char payload[8] = "payload";
            while (!done) centre.PushEvent(EVENT_TYPE_READ_FAILED, 8, payload);
        });
    for (int i = 0; i < 50; ++i) {
        centre.StartReceiveMessage();
        std::this_thread::sleep_for(1ms);
        centre.StopReceiveMessage();
    }
    done = true;
    for (auto& t : pushers) t.join();
    EXPECT_EQ(centre.QueuedCount(), 0u);
    EXPECT_FALSE(centre.IsReceiving());
}

TEST(MessageCenter, ProcessWideCentreDeliversFromTheStart) {
    CMessageCenter* centre = CMessageCenter::Instance();
    ASSERT_EQ(centre, CMessageCenter::Instance());
    EXPECT_TRUE(centre->IsReceiving());
    centre->StopReceiveMessage();
    EXPECT_FALSE(centre->IsReceiving());
    centre->StartReceiveMessage();
    EXPECT_TRUE(centre->IsReceiving());
}
