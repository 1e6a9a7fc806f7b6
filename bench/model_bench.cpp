// The UI model's per-node helpers over a million nodes, and the device list
// over a loop disk (as root):
//   bench-model [LOOP_IMAGE]
// Name matching (ASCII fast path and non-ASCII names), the searcher type of
// a node (the walk to its volume root), and, with an image, the time to list
// the devices of a loop disk made from it (InitDeviceInfo and the records).
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FileNode.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/qt/NameMatcher.h"
#include "storage/DeviceEnum.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

class Node : public CFileNode {
public:
    Node(std::string name, bool dir, _tagSearcherType type = SEARCHER_NTFS)
        : m_name(std::move(name)), m_dir(dir), m_type(type) {}
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return 1; }
    std::uint32_t GetAttribute() override { return 0; }
    std::int64_t GetCreationTime() override { return 0; }
    std::int64_t GetModificationTime() override { return 0; }
    std::int64_t GetLastAccessTime() override { return 0; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return 1; }
    _tagSearcherType GetSearcheType() const override { return m_type; }
    IFileNode* Clone() override { return nullptr; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    std::string m_name;
    bool m_dir;
    _tagSearcherType m_type;
};

void NodeFigures() {
    constexpr int kNodes = 1000000;
    std::vector<std::unique_ptr<Node>> nodes;
    nodes.reserve(kNodes + 8);
    auto root = std::make_unique<Node>("", true, SEARCHER_FAT);
    CFileNode* folder = root.get();
    for (int depth = 0; depth < 5; ++depth) {  // files sit six levels below the root
        nodes.push_back(std::make_unique<Node>("Folder" + std::to_string(depth), true));
        folder->AddChild(nodes.back().get());
        folder = nodes.back().get();
    }
    std::vector<Node*> files;
    for (int i = 0; i < kNodes; ++i) {
        const bool accented = i % 10 == 0;
        nodes.push_back(std::make_unique<Node>(
            (accented ? "Grüße vom Urlaub " : "Holiday Picture ") + std::to_string(i) + ".jpg", false));
        folder->AddChild(nodes.back().get());
        files.push_back(nodes.back().get());
    }

    const NameMatcher matcher("PICTURE 99", false);
    auto start = Clock::now();
    int matches = 0;
    for (Node* file : files) matches += matcher.MatchesText(file->GetFileName());
    const double ascii = Seconds(start);

    const NameMatcher accentedMatcher("GRÜßE VOM URLAUB 99", false);
    start = Clock::now();
    int accentedMatches = 0;
    for (Node* file : files) accentedMatches += accentedMatcher.MatchesText(file->GetFileName());
    const double unicode = Seconds(start);

    start = Clock::now();
    long long typeSum = 0;
    for (Node* file : files) typeSum += QXCPPPublic::GetNodeSearcheType(file);
    const double types = Seconds(start);

    std::printf("name match, ASCII needle:     %d nodes in %.3f s (%.0f ns/node, %d matches)\n", kNodes, ascii,
                ascii * 1e9 / kNodes, matches);
    std::printf("name match, non-ASCII needle: %d nodes in %.3f s (%.0f ns/node, %d matches)\n", kNodes, unicode,
                unicode * 1e9 / kNodes, accentedMatches);
    std::printf("searcher type, 6 levels deep: %d nodes in %.3f s (%.0f ns/node, sum %lld)\n", kNodes, types,
                types * 1e9 / kNodes, typeSum);
}

int Shell(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        if (out) *out += buf;
    return pclose(p);
}

void DeviceListFigures(const std::string& image) {
    std::string loop;
    if (Shell("losetup -f --show -P '" + image + "'", &loop) != 0 || loop.empty()) {
        std::printf("device list: no loop device (needs root)\n");
        return;
    }
    while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
    Shell("partx -a '" + loop + "' 2>/dev/null");
    const std::string name = loop.substr(5);
    EnumDeviceConfig config;
    config.acceptDisk = [name](const std::string& n) { return n == name; };
    CEnumDeviceEx enumerator(config);
    QXUIDeviceData model(&enumerator);
    constexpr int kRounds = 20;
    std::size_t volumes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i) {
        model.Clear();
        model.InitDeviceInfo();
        std::list<_DiskVolumeData> records;
        model.GetAllDeviceInfo(records);
        volumes = records.empty() ? 0 : records.front().volumes.size();
    }
    const double total = Seconds(start);
    std::printf("device list of %s (%zu volumes): %.1f ms per listing (%d listings)\n", loop.c_str(), volumes,
                total * 1000 / kRounds, kRounds);
    Shell("partx -d '" + loop + "' 2>/dev/null");
    Shell("losetup -d '" + loop + "'");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    NodeFigures();
    if (argc > 1) DeviceListFigures(argv[1]);
    return 0;
}
