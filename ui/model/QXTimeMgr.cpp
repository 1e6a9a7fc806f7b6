#include "model/QXTimeMgr.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/QXUIScan.h"
#include "model/TreeStore.h"

namespace {

constexpr int kCreateKey = kOpTreeCreate;  // 2
constexpr int kModifyKey = kOpTreeModify;  // 3
constexpr int kAccessKey = kOpTreeAccess;  // 4

int MonthKey(int year, int month) { return year * 100 + month; }

// The folder names are digits: an ASCII comparison without case is the
// case-insensitive order the outline promises, whatever the locale.
int CompareNoCase(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
        const int x = fold(static_cast<unsigned char>(a[i])), y = fold(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string Digits(const char* format, int value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

QXTimeMgr& QXTimeMgr::share() {
    static auto* manager = new QXTimeMgr();
    return *manager;
}

QXTimeMgr::QXTimeMgr() = default;

TreeStore* QXTimeMgr::SetTreeStore(TreeStore* store) {
    if (store != m_store) clear();  // the folders belong to the other store
    return std::exchange(m_store, store);
}

void QXTimeMgr::SetScan(QXUIScan* scan) { m_scan = scan; }

void QXTimeMgr::SetSlicing(std::size_t nodes, std::function<bool()> between) {
    m_sliceNodes = nodes;
    m_between = std::move(between);
}

void QXTimeMgr::SetClock(std::function<std::time_t()> now) { m_now = std::move(now); }

QXUIScan& QXTimeMgr::Scan() const { return m_scan != nullptr ? *m_scan : QXUIScan::instance(); }

bool QXTimeMgr::DicsOf(int key, YearDic** years, MonthDic** months) {
    if (key == kCreateKey) {
        *years = &createYearTimeDic;
        *months = &createMonthTimeDic;
        return true;
    }
    if (key == kModifyKey) {
        *years = &modifyYearTimeDic;
        *months = &modifyMonthTimeDic;
        return true;
    }
    return false;
}

std::map<int, std::size_t>* QXTimeMgr::IndexOf(int key) {
    return const_cast<std::map<int, std::size_t>*>(static_cast<const QXTimeMgr*>(this)->IndexOf(key));
}

const std::map<int, std::size_t>* QXTimeMgr::IndexOf(int key) const {
    switch (key) {
    case kCreateKey: return &createTimeMap;
    case kModifyKey: return &modifyTimeMap;
    case kAccessKey: return &accessTimeMap;
    default: return nullptr;
    }
}

void QXTimeMgr::Adopt(int key, OpNodeData* root) {
    YearDic* years = nullptr;
    MonthDic* months = nullptr;
    if (m_store == nullptr || !DicsOf(key, &years, &months)) return;
    Owner& owner = key == kCreateKey ? m_createOwner : m_modifyOwner;
    const std::uint64_t generation = m_store->Generation();
    if (owner.root == root && owner.generation == generation) return;
    // The folders we know belong to another root or to a retired generation:
    // drop the pointers without touching the rows, and file everything again.
    years->clear();
    months->clear();
    IndexOf(key)->clear();
    ++PassOf(key);
    owner = Owner{root, generation};
}

void QXTimeMgr::refreshTimeTree(OpNodeData* root, int key) {
    _iKeyType = key;
    // Last-access times are not kept by the scan bridge: a refresh by them
    // files nothing.
    if (root == nullptr || (key != kCreateKey && key != kModifyKey)) return;
    if (m_store == nullptr) {
        LogDiagnostic("the date trees have no tree store to make folders in\n");
        return;
    }
    if (root->type() != static_cast<std::uint32_t>(key)) {
        LogDiagnostic("a date tree of kind %u refreshed by the times of kind %d\n", root->type(), key);
        return;
    }
    Adopt(key, root);
    const std::uint64_t pass = ++PassOf(key);
    // Only what lies beyond the processed counts is copied: the cost of a
    // refresh is the count of new nodes, not the size of the store.
    const std::vector<QXUIScan::ListTail> fresh = Scan().GetTimeTailsFrom(key, *IndexOf(key));
    const bool sliced = m_between && m_sliceNodes != 0;
    std::size_t sliceLeft = m_sliceNodes;
    for (const QXUIScan::ListTail& tail : fresh) {
        const int year = tail.key, month = tail.month;
        // The month's processed count, kept current node by node: a reset
        // that empties the map also changes the pass, and then this
        // refresh stops before touching it again.
        std::size_t& processed = (*IndexOf(key))[MonthKey(year, month)];
        // Made when the month's first file is filed, then kept for the rest.
        OpNodeData* monthFolder = nullptr;
        bool looked = false;
        for (IFileNode* node : tail.nodes) {
            if (sliced && --sliceLeft == 0) {
                sliceLeft = m_sliceNodes;
                // The processed counts are up to date here: whoever refreshes
                // this tree meanwhile goes on from them, and this pass ends.
                if (!m_between() || pass != PassOf(key)) return;
            }
            ++processed;
            // Skipped nodes count as processed: they are not looked at
            // again until the trees are cleared.
            if (node == nullptr || node->IsDirectory() != 0) continue;
            const std::int64_t time = key == kModifyKey ? node->GetModificationTime() : node->GetCreationTime();
            if (time == 0 || node->IsNodeShow() == 0) continue;
            // The bridge filed it under this year and month from the same
            // time: no second conversion to local time.
            if (!looked) {
                monthFolder = MonthFolder(root, key, year, month);
                looked = true;
            }
            if (monthFolder != nullptr) monthFolder->addChildFile(node);
        }
    }
}

void QXTimeMgr::AddFileNode(IFileNode* node, OpNodeData* root) {
    if (node == nullptr || root == nullptr) return;
    const int key = static_cast<int>(root->type());
    if (key != kCreateKey && key != kModifyKey) return;
    Adopt(key, root);
    const std::int64_t time = key == kModifyKey ? node->GetModificationTime() : node->GetCreationTime();
    int year = 0, month = 0;
    QXCPPPublic::GetYearMonthByFileTime(&year, &month, time);
    File(node, root, key, year, month);
}

void QXTimeMgr::File(IFileNode* node, OpNodeData* root, int key, int year, int month) {
    if (OpNodeData* monthFolder = MonthFolder(root, key, year, month)) monthFolder->addChildFile(node);
}

OpNodeData* QXTimeMgr::MonthFolder(OpNodeData* root, int key, int year, int month) {
    YearDic* years = nullptr;
    MonthDic* months = nullptr;
    if (m_store == nullptr || !DicsOf(key, &years, &months)) return nullptr;
    if (year < 1 || month < 1 || month > 12) return nullptr;
    auto y = years->find(year);
    if (y == years->end()) return insertMonth(month, year, insertYear(year, root));
    std::map<int, OpNodeData*>& ofYear = (*months)[y->second];
    auto m = ofYear.find(month);
    return m != ofYear.end() ? m->second : insertMonth(month, year, y->second);
}

OpNodeData* QXTimeMgr::MakeFolder(const std::string& name, int key, std::uint32_t expandable, OpNodeData* parent) {
    OpNodeData* folder = m_store->CreateFolder(name, static_cast<std::uint32_t>(key), expandable);
    folder->setParent(parent);
    const int at = GetDateInsertIndex(name, parent->children());
    if (at < 0)
        parent->addChildObject(folder);
    else
        parent->insertChildObject(static_cast<std::size_t>(at), folder);
    return folder;
}

OpNodeData* QXTimeMgr::insertYear(int year, OpNodeData* root) {
    YearDic* years = nullptr;
    MonthDic* months = nullptr;
    if (root == nullptr || m_store == nullptr) return nullptr;
    const int key = static_cast<int>(root->type());
    OpNodeData* folder = MakeFolder(Digits("%04d", year), key, 1, root);
    if (DicsOf(key, &years, &months)) (*years)[year] = folder;
    return folder;
}

OpNodeData* QXTimeMgr::insertMonth(int month, int year, OpNodeData* yearFolder) {
    YearDic* years = nullptr;
    MonthDic* months = nullptr;
    if (yearFolder == nullptr || m_store == nullptr) return nullptr;
    const int key = static_cast<int>(yearFolder->type());
    OpNodeData* folder = MakeFolder(Digits("%02d", month), key, 0, yearFolder);
    const std::time_t time = MonthTime(year, month);
    if (key == kModifyKey) {
        yearFolder->setModifyTime(time);
        folder->setModifyTime(time);
    } else if (key == kCreateKey) {
        yearFolder->setCreateTime(time);
        folder->setCreateTime(time);
    }
    if (DicsOf(key, &years, &months)) (*months)[yearFolder][month] = folder;
    return folder;
}

std::time_t QXTimeMgr::MonthTime(int year, int month) const {
    std::time_t now = m_now ? m_now() : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    // The 1st: today's day of month may not exist in that month, and mktime
    // would carry it into the next one, and the folder's check mark with it.
    local.tm_mday = 1;
    local.tm_isdst = -1;
    return mktime(&local);
}

int QXTimeMgr::GetDateInsertIndex(const std::string& name, const std::vector<OpChild>& children) {
    for (std::size_t i = 0; i < children.size(); ++i) {
        const OpChild& child = children[i];
        const std::string other = child.obj != nullptr ? child.obj->name() : OpNodeData::fileNodeName(child.file);
        if (CompareNoCase(other, name) > 0) return static_cast<int>(i);
    }
    return -1;
}

int QXTimeMgr::getIndex(int year, int month, int key) const {
    const std::map<int, std::size_t>* index = IndexOf(key);
    if (index == nullptr) return 0;
    auto it = index->find(MonthKey(year, month));
    return it == index->end() ? 0 : static_cast<int>(it->second);
}

void QXTimeMgr::setIndex(int count, int year, int month, int key) {
    if (std::map<int, std::size_t>* index = IndexOf(key); index != nullptr && count >= 0)
        (*index)[MonthKey(year, month)] = static_cast<std::size_t>(count);
}

void QXTimeMgr::initMap() {
    ++m_pass[0];
    ++m_pass[1];
    createTimeMap.clear();
    modifyTimeMap.clear();
    accessTimeMap.clear();
}

void QXTimeMgr::clear() {
    initMap();
    createYearTimeDic.clear();
    modifyYearTimeDic.clear();
    createMonthTimeDic.clear();
    modifyMonthTimeDic.clear();
    m_createOwner = m_modifyOwner = Owner{};
    iCreateTimeTreeNeedRefresh = 1;
    iModifyTimeTeeeNeedRefresh = 1;
}

void QXTimeMgr::setSearch(int) { clear(); }

void QXTimeMgr::QXSetNeedRefreshTree() {
    switch (Scan().GetScanType()) {
    case kOpTreePath:
    case kOpTreeType:
        iCreateTimeTreeNeedRefresh = 1;
        iModifyTimeTeeeNeedRefresh = 1;
        break;
    case kOpTreeCreate: iModifyTimeTeeeNeedRefresh = 1; break;
    case kOpTreeModify: iCreateTimeTreeNeedRefresh = 1; break;
    default: break;
    }
}

void QXTimeMgr::QXResetNeedRefreshTree() {
    switch (Scan().GetScanType()) {
    case kOpTreeCreate: iCreateTimeTreeNeedRefresh = 0; break;
    case kOpTreeModify: iModifyTimeTeeeNeedRefresh = 0; break;
    default: break;
    }
}

int QXTimeMgr::QXGetNeedRefreshTree() const {
    switch (Scan().GetScanType()) {
    case kOpTreeCreate: return iCreateTimeTreeNeedRefresh.load();
    case kOpTreeModify: return iModifyTimeTeeeNeedRefresh.load();
    default: return 1;
    }
}
