// Recovery through the controller against the command-line driver, on the
// same loop disk (root):
//   bench-model-recover [BENCH_DATA_DIR [preview]]   (default ./bench-data)
// ("preview" runs the preview case alone.)
// Two FAT32 disk images are made once in BENCH_DATA_DIR: 10,000 small files
// (1 to 8 KiB, in 100 folders) written and then deleted, and one 1 GiB file
// written and then deleted. Each is attached as a loop disk. The driver's
// recovery time is `quillory-scan --quick --recover` minus `quillory-scan
// --quick` on the same disk; the model's is DoRecovery (quick scan of the
// disk through the controller, everything checked) until its worker ends,
// and until the last "DoRecovery" post. Output goes to /dev/shm, the caches
// are warm (each road runs once before it is timed), the best of five runs
// is printed. Targets: the model at most 1.2 times the driver on the small
// files, within 10% on the big file.
// A third image holds a deleted 1 GiB file and a deleted 1280 x 960 PNG:
// while the recovery copies the big file, the PNG's preview is taken over
// and over (the previews have writers of their own, so no copy holds them
// up); the slowest and the median preview are printed. Target: under 1 s.
#include <unistd.h>

#include <QCoreApplication>
#include <QImage>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIRecovery.h"
#include "model/QXPublic.h"
#include "model/QXUIScan.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool Shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// An MBR disk with one FAT32 partition at 1 MiB, filled by the script's
// commands (mtools, with IMG and OFF set) and stamped when complete.
bool MakeImage(const std::string& image, const std::string& megabytes, const std::string& fill) {
    if (fs::exists(image + ".done")) return true;
    const std::string script = "set -e; export MTOOLS_SKIP_CHECK=1; IMG='" + image +
                               "'; OFF=1048576; rm -f \"$IMG\"; truncate -s " + megabytes +
                               "M \"$IMG\"; echo 'start=2048, type=c' | sfdisk -q \"$IMG\";"
                               " mkfs.fat -F 32 -s 8 --offset=2048 -n BENCH \"$IMG\" $(( (" +
                               megabytes + " * 1024 - 1024) )) >/dev/null; W=$(mktemp -d); " + fill +
                               "; rm -rf \"$W\"; touch \"$IMG.done\"";
    return Shell("bash -c '" + [&] {
        std::string quoted;
        for (char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted;
    }() + "'");
}

class Loop {
public:
    explicit Loop(const std::string& image) { m_path = Capture("losetup -f --show -P '" + image + "'"); }
    ~Loop() {
        if (!m_path.empty()) Shell("losetup -d '" + m_path + "'");
    }
    bool ok() const { return m_path.rfind("/dev/loop", 0) == 0; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

double Best(int runs, const std::function<double()>& once) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) best = std::min(best, once());
    return best;
}

// Waits in the event loop as a window would (idle between checks, every
// millisecond), so that the main thread takes no core from the worker.
bool SpinUntil(const std::function<bool()>& done, int ms) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return done();
}

struct ModelRun {
    double worker = 0, post = 0;
    std::uint64_t files = 0, failed = 0, bytes = 0;
};

// Quick scan of the loop disk through the controller, everything checked,
// then one recovery into `out`.
ModelRun ModelRecovery(const std::string& out) {
    QXUIScan::instance().SetDeepScan(0);
    QXUIController::DoScanWithDiskIndex(0, -1, "", nullptr);
    SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 600000);
    for (IFilesystemNode* root : QXUIScan::instance().GetFileSystemNode()) root->SetCheck(CHECKED_ALL);
    int count = 0;
    std::uint64_t size = 0;
    QXUIController::GetSelectedFilesAmout(&count, &size);

    fs::remove_all(out);
    fs::create_directories(out);
    QObject context;
    bool posted = false;
    NotificationBus::instance()->observe("DoRecovery", &context, [&](const QVariant&) { posted = true; });
    const std::vector<IFileNode*> roots;
    ModelRun run;
    const auto start = Clock::now();
    if (QXUIController::DoRecovery(&roots, QString::fromStdString(out), "DoRecovery", nullptr) != 0) return run;
    SpinUntil([] { return !QXUIController::IsRecoveryWorkerAlive(); }, 600000);
    run.worker = Seconds(Clock::now() - start);
    SpinUntil([&] { return posted && !QXUIController::IsRecoveryRunning(); }, 600000);
    run.post = Seconds(Clock::now() - start);
    run.files = QXUIController::GetRecoveridedFiles();
    run.failed = QXUIController::GetRecoveryFailedFiles();
    run.bytes = QXUIController::GetRecoveridedSize();
    return run;
}

// Lists only the attached loop disk in the process-wide device list (the
// machine's own disks never take part); exits when the image cannot be
// attached. The listing lasts as long as the returned enumerator.
std::unique_ptr<CEnumDeviceEx> ListOnly(Loop& loop, const std::string& image) {
    if (!loop.ok()) {
        std::fprintf(stderr, "cannot attach %s\n", image.c_str());
        std::exit(1);
    }
    Shell("partx -a '" + loop.path() + "' 2>/dev/null");
    const std::string name = loop.path().substr(5);
    EnumDeviceConfig config;
    config.acceptDisk = [name](const std::string& n) { return n == name; };
    auto enumerator = std::make_unique<CEnumDeviceEx>(config);
    QXUIDeviceData::instance().SetEnumerator(enumerator.get());
    QXUIDeviceData::instance().InitDeviceInfo();
    return enumerator;
}

void Compare(const std::string& label, const std::string& image, const std::string& scanTool, double target) {
    Loop loop(image);
    const auto enumerator = ListOnly(loop, image);
    const std::string out = "/dev/shm/quillory-model-recover";

    auto driver = [&](bool recover) {
        fs::remove_all(out);
        const std::string cmd = "'" + scanTool + "' --quick " + (recover ? "--recover '" + out + "' " : "") + "'" +
                                loop.path() + "' >/dev/null 2>&1";
        const auto start = Clock::now();
        Shell(cmd);
        return Seconds(Clock::now() - start);
    };
    driver(true);  // warm
    const double scanOnly = Best(5, [&] { return driver(false); });
    const double scanRecover = Best(5, [&] { return driver(true); });
    const double driverRecovery = scanRecover - scanOnly;

    ModelRecovery(out);  // warm
    ModelRun best;
    best.worker = 1e30;
    for (int i = 0; i < 5; ++i) {
        const ModelRun run = ModelRecovery(out);
        if (run.worker < best.worker) best = run;
    }
    fs::remove_all(out);
    QXUIDeviceData::instance().SetEnumerator(nullptr);

    std::printf(
        "%-12s driver: scan+recover %.3f s, scan %.3f s, recovery %.3f s | model recovery %.3f s "
        "(%.3f s to the last post), %llu files, %llu failed, %.1f MiB | ratio %.2f (target <= %.2f)\n",
        label.c_str(), scanRecover, scanOnly, driverRecovery, best.worker, best.post,
        static_cast<unsigned long long>(best.files), static_cast<unsigned long long>(best.failed),
        static_cast<double>(best.bytes) / 1048576.0, best.worker / driverRecovery, target);
}

// Previews of the picture on `image` while the recovery copies its big file.
void PreviewDuringCopy(const std::string& image) {
    Loop loop(image);
    const auto enumerator = ListOnly(loop, image);
    const std::string out = "/dev/shm/quillory-model-recover";
    QXUIScan::instance().SetDeepScan(0);
    QXUIController::DoScanWithDiskIndex(0, -1, "", nullptr);
    SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 600000);

    IFileNode* big = nullptr;
    IFileNode* picture = nullptr;
    for (const auto& [type, found] : QXUIScan::instance().GetTypeMap())
        for (IFileNode* node : found) {
            const std::string ext = QXUIScan::GetNodeExt(node);
            if (ext == "bin" && node->GetFileSize() >= (1LL << 30)) big = node;
            if (ext == "png") picture = node;
        }
    if (big == nullptr || picture == nullptr) {
        std::fprintf(stderr, "the scan did not find the big file and the picture\n");
        std::exit(1);
    }
    auto preview = [&] {
        const auto start = Clock::now();
        const QImage image = QXUIController::GetNSImageByFildNode(picture);
        const double took = Seconds(Clock::now() - start);
        if (image.width() != 1280) {
            std::fprintf(stderr, "the preview is no 1280-pixel picture\n");
            std::exit(1);
        }
        return took;
    };
    const double idle = Best(3, preview);

    for (IFilesystemNode* root : QXUIScan::instance().GetFileSystemNode()) root->SetCheck(CHECKED_NONE);
    big->SetCheck(CHECKED_ALL);
    fs::remove_all(out);
    fs::create_directories(out);
    const std::vector<IFileNode*> roots;
    if (QXUIController::DoRecovery(&roots, QString::fromStdString(out), "DoRecovery", nullptr) != 0) {
        std::fprintf(stderr, "the recovery did not start\n");
        std::exit(1);
    }
    // Previews only count while the copy is under way: some bytes written
    // and the file not done.
    SpinUntil([] { return QXUIController::GetRecoveridedSize() > 0 || !QXUIController::IsRecoveryWorkerAlive(); },
              600000);
    std::vector<double> during;
    while (QXUIController::IsRecoveryWorkerAlive()) {
        const double took = preview();
        if (QXUIController::IsRecoveryWorkerAlive()) during.push_back(took);
        QCoreApplication::processEvents();
    }
    SpinUntil([] { return !QXUIController::IsRecoveryRunning(); }, 600000);
    const std::uint64_t copied = QXUIController::GetRecoveridedSize();
    fs::remove_all(out);
    QXUIDeviceData::instance().SetEnumerator(nullptr);
    if (during.empty()) {
        std::fprintf(stderr, "the copy ended before a preview could run\n");
        std::exit(1);
    }
    std::sort(during.begin(), during.end());
    std::printf(
        "preview during a 1 GiB copy: %zu previews, slowest %.3f s, median %.3f s, idle %.3f s, "
        "%.1f MiB copied (target: slowest < 1 s)\n",
        during.size(), during.back(), during[during.size() / 2], idle, static_cast<double>(copied) / 1048576.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench-model-recover attaches loop devices: run it as root\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    NotificationBus::instance();
    CatchExeception::SetConsoleEcho(false);
    initFileType();
    const std::string data = argc > 1 ? argv[1] : "bench-data";
    fs::create_directories(data);
    const std::string self = fs::canonical("/proc/self/exe").parent_path().string();
    const std::string scanTool = self + "/../cli/quillory-scan";

    const std::string small = fs::absolute(data + "/model-recover-small.img").string();
    const std::string big = fs::absolute(data + "/model-recover-big.img").string();
    // 100 folders of 100 files of 1 to 8 KiB, copied in one mcopy, then
    // deleted folder by folder (the folders stay).
    const bool previewOnly = argc > 2 && std::string(argv[2]) == "preview";
    const bool made =
        previewOnly ||
        (MakeImage(small, "512",
                  "head -c 8192 /dev/urandom > \"$W/pool\"; for d in $(seq 1 100); do mkdir \"$W/dir $d\"; "
                  "for f in $(seq 1 100); do head -c $(( (RANDOM % 8 + 1) * 1024 )) \"$W/pool\" > "
                  "\"$W/dir $d/small file $f.bin\"; done; done; mcopy -s -i \"$IMG@@$OFF\" \"$W\"/dir* ::/; "
                  "for d in $(seq 1 100); do mdel -i \"$IMG@@$OFF\" \"::/dir $d/*\"; done") &&
            MakeImage(big, "1400",
                      "head -c 1G /dev/urandom > \"$W/big.bin\"; mcopy -i \"$IMG@@$OFF\" \"$W/big.bin\" ::/big.bin; "
                      "mdel -i \"$IMG@@$OFF\" ::/big.bin"));
    if (!made) {
        std::fprintf(stderr, "cannot make the images in %s\n", data.c_str());
        return 1;
    }
    if (!previewOnly) {
        Compare("10,000 files", small, scanTool, 1.2);
        Compare("1 GiB file", big, scanTool, 1.1);
    }

    const std::string preview = fs::absolute(data + "/model-recover-preview.img").string();
    if (!MakeImage(preview, "1400",
                   "head -c 1G /dev/urandom > \"$W/big.bin\"; ffmpeg -nostdin -loglevel error -f lavfi -i "
                   "testsrc=size=1280x960 -frames:v 1 \"$W/photo.png\"; mcopy -i \"$IMG@@$OFF\" \"$W/big.bin\" "
                   "\"$W/photo.png\" ::/; mdel -i \"$IMG@@$OFF\" ::/big.bin ::/photo.png")) {
        std::fprintf(stderr, "cannot make the images in %s\n", data.c_str());
        return 1;
    }
    PreviewDuringCopy(preview);
    return 0;
}
