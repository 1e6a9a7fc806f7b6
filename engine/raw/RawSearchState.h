#pragma once
// What one raw search owns and its analysers share: the folder-id and name
// counters, the read window's buffer and the stop check. Kept in one object
// rather than in statics, so that two searches (or two tests) never see each
// other's counters, and the FAT repair's calls through registry set 1 never
// change what a search sees. The names the raw search's documents use stay as
// accessors (g_nID, g_s_CountPerFileTypeVector, m_gRawCount).

#include <atomic>
#include <cstdint>
#include <vector>

class IProgress;

// The raw search's only stop and pause check.
class CNotifyCenter {
public:
    void SetProgress(IProgress* progress) { m_progress = progress; }
    // 1 without a sink; else the sink's Continued(), which waits while paused.
    int isContinue();
    void Reset() { m_progress = nullptr; }

private:
    IProgress* m_progress = nullptr;
};

class CRawSearchState {
public:
    // Name counters per RAW_FILE_TYPE.
    static constexpr std::size_t kNameCounters = 2000;
    static constexpr std::int64_t kFirstFolderId = 10;
    static constexpr std::int64_t kFirstTagNodeId = 2001;
    // Largest device sector size the read window takes (QVX images declare
    // their own); larger ones are refused with a clean failure.
    static constexpr std::uint32_t kMaxSectorSize = 65536;
    // The read window: 128 sectors and one to spare.
    static constexpr std::uint32_t kWindowSectors = 128;

    CRawSearchState();
    CRawSearchState(const CRawSearchState&) = delete;
    CRawSearchState& operator=(const CRawSearchState&) = delete;

    // Start of a search: folder ids from 10, every name counter 0, no stop sink.
    void PreparetoSearch();
    // Tests: all of the above and the process-wide tag-tree id counter too.
    void ResetForTest();

    std::int64_t& g_nID() { return m_nextFolderId; }
    std::vector<std::uint32_t>& g_s_CountPerFileTypeVector() { return m_nameCounters; }
    // The next name number of a type (then raised by one).
    std::uint32_t NextNameNumber(std::uint32_t type);
    CNotifyCenter& NotifyCenter() { return m_notify; }

    // Sector size of the searched device: runs of raw-found nodes count in it.
    std::uint32_t DeviceSectorSize() const { return m_deviceSectorSize; }
    void SetDeviceSectorSize(std::uint32_t sectorSize);
    // Sector size SearchEndSignCode last worked with (taken from each device,
    // never cached across devices).
    std::uint32_t& SearchEndSignSectorSize() { return m_endSignSectorSize; }

    // The shared window buffer for `sectorSize`, (128 + 1) sectors long;
    // null for a size that is 0, not a multiple of 512 or above the limit.
    // Allocates only when the size grows.
    std::uint8_t* WindowBuffer(std::uint32_t sectorSize);
    // Which reader last loaded which window into the buffer, so that two
    // readers taking turns never see each other's bytes. Readers are told
    // apart by a serial number, not by address: a new reader on the stack
    // may take the address of an old one.
    std::uint64_t NewReaderSerial() { return ++m_readerSerial; }
    bool WindowLoadedBy(std::uint64_t serial, std::uint64_t index) const {
        return m_windowOwner == serial && m_windowIndex == index;
    }
    void SetWindowOwner(std::uint64_t serial, std::uint64_t index) {
        m_windowOwner = serial;
        m_windowIndex = index;
    }

    // Ids of value folders and files of the tag trees: one counter for the
    // whole process, from 2001, as the saved trees of earlier scans rely on.
    static std::int64_t NextRawCount() { return s_rawCount.fetch_add(1); }
    static std::int64_t PeekRawCount() { return s_rawCount.load(); }

    static bool ValidSectorSize(std::uint32_t sectorSize) {
        return sectorSize != 0 && sectorSize % 512 == 0 && sectorSize <= kMaxSectorSize;
    }

private:
    std::int64_t m_nextFolderId = kFirstFolderId;
    std::vector<std::uint32_t> m_nameCounters;
    CNotifyCenter m_notify;
    std::uint32_t m_deviceSectorSize = 512;
    std::uint32_t m_endSignSectorSize = 0;
    std::vector<std::uint8_t> m_window;
    std::uint64_t m_readerSerial = 0;
    std::uint64_t m_windowOwner = 0;  // 0 = nobody
    std::uint64_t m_windowIndex = 0;

    static std::atomic<std::int64_t> s_rawCount;
};
