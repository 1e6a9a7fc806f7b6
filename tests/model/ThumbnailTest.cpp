// Previews of found files: the real decoders on pictures, a DNG and clips
// made by the fixture scripts; the controller's roads (how much of a file it
// reads or writes out, where, and what it falls back to) against a
// recording writer; the previews' own writers; and, as root, previews of
// files deleted from a FAT volume and found by a quick scan.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/ThumbnailWriters.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "model/qt/Thumbnailer.h"
#include "recovery/FileReader.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/FakeController.h"
#include "support/SkipOutsideCi.h"

namespace {

using devlist_test::Capture;
using devlist_test::ScratchDir;
using devlist_test::Shell;

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What previews left in `dir`: their private folders and anything else but
// the samples' scratch folders, which may sit there too.
std::vector<std::string> LeftBehind(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().rfind("quillory-devlist", 0) != 0) found.push_back(entry.path().string());
    return found;
}

// The samples of make_thumb_samples.sh in a scratch folder.
class Samples {
public:
    Samples() { ok = Shell(kFixtures + "make_thumb_samples.sh '" + dir.path() + "'"); }
    std::string operator/(const std::string& name) const { return dir / name; }
    ScratchDir dir;
    bool ok = false;
};

// ---------------------------------------------------------------------------
// The real decoders.

TEST(Thumbnailer, RealDecodersOnMadeFiles) {
    Samples samples;
    ASSERT_TRUE(samples.ok);
    enum Road { kPicture, kRawFile, kRawMemory, kVideo };
    struct Case {
        const char* file;
        Road road;
        int width, height;  // 0 x 0: no image
    };
    const Case cases[] = {
        {"x.png", kPicture, 320, 240},
        {"x.jpg", kPicture, 320, 240},
        {"camera.dng", kRawFile, 16, 16},
        {"camera.dng", kRawMemory, 16, 16},
        // Clips are scaled to 192 on their longer side.
        {"clip.mp4", kVideo, 192, 144},
        {"clip.mov", kVideo, 192, 144},
        {"clip.avi", kVideo, 192, 144},
        // No raw file, and damaged or hostile files.
        {"x.png", kRawFile, 0, 0},
        {"junk.mp4", kRawMemory, 0, 0},
        {"huge.png", kPicture, 0, 0},  // over the allocation limit
        {"cut.mp4", kVideo, 0, 0},
        {"junk.mp4", kVideo, 0, 0},
    };
    for (const Case& c : cases) {
        const std::string path = samples / c.file;
        const std::string bytes = ReadAll(path);
        ASSERT_FALSE(bytes.empty()) << c.file;
        QImage image;
        switch (c.road) {
        case kPicture:
            image = DecodePictureBytes(bytes.data(), bytes.size());
            break;
        case kRawFile:
            image = CameraRawPreviewFromFile(QString::fromStdString(path));
            break;
        case kRawMemory:
            image = CameraRawPreviewFromMemory(bytes.data(), bytes.size());
            break;
        case kVideo:
            image = VideoFrameFromFile(QString::fromStdString(path));
            break;
        }
        EXPECT_EQ(image.width(), c.width) << c.file << " road " << c.road;
        EXPECT_EQ(image.height(), c.height) << c.file << " road " << c.road;
    }
    // The DNG's preview is the pattern make_dng.py wrote: red grows with x,
    // green with y.
    const QImage raw = CameraRawPreviewFromFile(QString::fromStdString(samples / "camera.dng"));
    ASSERT_EQ(raw.size(), QSize(16, 16));
    EXPECT_EQ(raw.pixelColor(3, 5), QColor(48, 80, 64));
    // Icons are never null and fit the side.
    for (const char* ext : {"", "png", "zzzunknown"}) {
        const QImage icon = SystemThumbnailer().Icon(ext);
        EXPECT_FALSE(icon.isNull()) << ext;
        EXPECT_LE(std::max(icon.width(), icon.height()), Thumbnailer::kSide) << ext;
    }
}

// ---------------------------------------------------------------------------
// The controller's roads against a recording writer.

// What the previews asked of their writers.
struct WriterLog {
    std::mutex lock;
    std::string data;                // the bytes every node holds
    bool noReader = false;           // SetRecoverNode answers null
    std::vector<std::string> calls;  // "set NAME", "small N", "read N", "write N"
    std::vector<std::string> paths;  // where RecoverTo wrote
    int made = 0, released = 0;
    void Add(std::string call) {
        std::lock_guard hold(lock);
        calls.push_back(std::move(call));
    }
};

class ScriptedReader : public IFileReader {
public:
    explicit ScriptedReader(WriterLog& log) : m_log(log) {}
    int ReadData(long long offset, char* buffer, unsigned length, int*) override {
        m_log.Add("read " + std::to_string(length));
        if (offset < 0 || static_cast<size_t>(offset) >= m_log.data.size()) return 0;
        const size_t n = std::min<size_t>(length, m_log.data.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, m_log.data.data() + offset, n);
        return static_cast<int>(n);
    }
    IFileReader* Clone() override { return nullptr; }
    long long GetDataSize() const override { return static_cast<long long>(m_log.data.size()); }
    int IsCompressFile() override { return 0; }
    void Release() override { delete this; }

private:
    WriterLog& m_log;
};

class RecordingWriter : public IDataRecovery {
public:
    explicit RecordingWriter(WriterLog& log) : m_log(log) {
        std::lock_guard hold(m_log.lock);
        ++m_log.made;
    }
    EngineResult Initialize(IFileSystemSearchController*, IStorageDevice*) override { return ENGINE_OK; }
    EngineResult Initialize(std::vector<CSearchedPartitionInfo*>&, IStorageDevice*) override { return ENGINE_OK; }
    IFileReader* SetRecoverNode(IFileNode* node) override {
        m_log.Add(std::string("set ") + node->GetFileName());
        return m_log.noReader ? nullptr : new ScriptedReader(m_log);
    }
    EngineResult RecoverTo(const char* path, IProgress*, int limit) override {
        m_log.Add("write " + std::to_string(limit));
        {
            std::lock_guard hold(m_log.lock);
            m_log.paths.emplace_back(path);
        }
        const size_t n =
            limit > 0 ? std::min<size_t>(static_cast<size_t>(limit), m_log.data.size()) : m_log.data.size();
        std::ofstream out(path, std::ios::binary);
        out.write(m_log.data.data(), static_cast<std::streamsize>(n));
        return out ? ENGINE_OK : 0x010D015F00000D03ULL;
    }
    unsigned ReadSmallJPG(char*, unsigned capacity) override {
        m_log.Add("small " + std::to_string(capacity));
        return 0;
    }
    void Release() override {
        {
            std::lock_guard hold(m_log.lock);
            ++m_log.released;
        }
        delete this;
    }

private:
    WriterLog& m_log;
};

class WriterController : public IRecoveryController {
public:
    WriterController(_RECOVERY_CONTROLLER_TYPE type, WriterLog& log) : m_type(type), m_log(log) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_type; }
    int Initialize(IRecoveryFilter*) override { return 1; }
    EngineResult StartDataRecovery(IStorageDevice*, IProgress*, IDrirectoryTree*) override { return ENGINE_OK; }
    IDataRecovery* GetDataRecovery(_tagSearcherType) const override { return new RecordingWriter(m_log); }
    void Release() override { delete this; }

private:
    _RECOVERY_CONTROLLER_TYPE m_type;
    WriterLog& m_log;
};

// Kinds by extension as the engine's filter files them; "movie" (no dot) is
// filed as a video too, to reach the video road without a ".".
class KindFilter : public IRecoveryFilter {
public:
    int ShowNormalFiles() const override { return 1; }
    void SetScanType(int) override {}
    int IsFileNodeValid(IFileNode*) override { return 1; }
    void SetFilterTypes(unsigned) override {}
    unsigned GetNodeFileType(IFileNode* node) override {
        const std::string ext = QXUIScan::GetNodeExt(node);
        if (std::string(node->GetFileName()) == "movie") return FILTER_MOVIES;
        for (const char* e : {"png", "jpg", "psd", "dng", "cr2"})
            if (ext == e) return FILTER_PICTURES;
        for (const char* e : {"mp4", "mov", "avi", "m4v", "mkv"})
            if (ext == e) return FILTER_MOVIES;
        return FILTER_OTHER;
    }
    void Release() override {}
};

// Marks each road's answer by its size; icons carry their extension.
class FakeThumbnailer : public Thumbnailer {
public:
    struct Seen {
        std::string road, path;
        qint64 bytes = -1;  // the file's size, or the bytes handed over
        unsigned folderMode = 0;
    };
    QImage Picture(const char*, std::size_t size) override {
        Note({"picture", "", static_cast<qint64>(size), 0});
        return QImage(7, 5, QImage::Format_RGB32);
    }
    QImage CameraRaw(const QString& path) override {
        NoteFile("raw", path);
        // ".psd" is no raw file.
        return path.endsWith(".psd") ? QImage() : QImage(6, 4, QImage::Format_RGB32);
    }
    QImage Video(const QString& path) override {
        NoteFile("video", path);
        return QImage(8, 6, QImage::Format_RGB32);
    }
    QImage Icon(const QString& extension) override {
        QImage icon(3, 3, QImage::Format_RGB32);
        icon.setText("icon", extension);
        return icon;
    }
    std::vector<Seen> seen;

private:
    void NoteFile(const char* road, const QString& path) {
        const QFileInfo info(path);
        struct stat folder {};
        stat(QFile::encodeName(info.path()).constData(), &folder);
        Note({road, path.toStdString(), info.size(), static_cast<unsigned>(folder.st_mode & 07777)});
    }
    void Note(Seen s) {
        std::lock_guard hold(m_lock);
        seen.push_back(std::move(s));
    }
    std::mutex m_lock;
};

// Previews through the process-wide scan bridge, whose controller makes
// recording writers; temporary files go under a scratch TMPDIR.
class ThumbnailRoads : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        m_oldFilter = QXUIFilter::instance().GetFilter();
        QXUIFilter::instance().SetFilterForTest(&filter);
        m_oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QByteArray::fromStdString(tmp.path()));
        SetThumbnailer(&fake);
        Controller(RECOVERY_CONTROLLER_DEEP_VOLUME);
        root = nodes.Root("Vol", SEARCHER_FAT);
    }
    void TearDown() override {
        QXUIScan& scan = QXUIScan::instance();
        scan.ReleaseDataRecovery();
        scan.SetControllerFactory([](_RECOVERY_CONTROLLER_TYPE) -> IRecoveryController* { return nullptr; });
        scan.ResetRecoveryController(RECOVERY_CONTROLLER_QUICK);
        scan.SetControllerFactory(nullptr);
        SetThumbnailer(nullptr);
        QXUIFilter::instance().SetFilterForTest(m_oldFilter);
        if (m_oldTmp.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", m_oldTmp);
        EXPECT_EQ(log.released, log.made);
    }
    void Controller(_RECOVERY_CONTROLLER_TYPE type) {
        QXUIScan& scan = QXUIScan::instance();
        scan.ReleaseDataRecovery();
        scan.SetControllerFactory([this](_RECOVERY_CONTROLLER_TYPE t) { return new WriterController(t, log); });
        scan.ResetRecoveryController(type);
    }
    FakeNode* File(const std::string& name, int64_t size) {
        FakeNode* node = nodes.Add(root, name, false);
        node->SetSize(size);
        return node;
    }
    void Forget() {
        log.calls.clear();
        log.paths.clear();
        fake.seen.clear();
    }

    ScratchDir tmp;
    WriterLog log;
    KindFilter filter;
    FakeThumbnailer fake;
    model_test::NodeTree nodes;
    model_test::FakeRoot* root = nullptr;

private:
    IRecoveryFilter* m_oldFilter = nullptr;
    QByteArray m_oldTmp;
};

TEST_F(ThumbnailRoads, SizeTableAndFallbacks) {
    log.data = "scripted bytes of a found file";
    const int64_t kPictureMax = 104857600, kAviWhole = 52428800, kLead = 0x200000;
    enum Answer { kPictureImage, kRawImage, kVideoImage, kIcon, kNull };
    struct Case {
        const char* name;
        int64_t size;
        Answer answer;
        int64_t written;      // amount passed to RecoverTo, -1 for none
        int64_t read;         // capacity of the picture read, -1 for none
        const char* iconExt;  // for kIcon
    };
    const Case cases[] = {
        {"photo.png", kPictureMax, kPictureImage, -1, kPictureMax, ""},
        {"photo.png", kPictureMax + 1, kIcon, -1, -1, "png"},
        {"empty.jpg", 0, kIcon, -1, -1, "jpg"},
        {"clip.avi", kAviWhole, kVideoImage, kAviWhole, -1, ""},
        {"clip.avi", kAviWhole + 1, kVideoImage, kLead, -1, ""},
        {"clip.mov", 1048576, kVideoImage, 1048576, -1, ""},
        {"clip.mp4", kLead, kVideoImage, kLead, -1, ""},
        {"Clip.M4V", 3 * kLead, kVideoImage, kLead, -1, ""},
        {"clip.mkv", 1000, kIcon, -1, -1, "mkv"},
        {"camera.dng", 5000, kRawImage, 5000, -1, ""},
        {"camera.CR2", kPictureMax + 1, kIcon, -1, -1, "cr2"},
        // libraw refuses a ".psd": the picture road follows.
        {"layers.psd", 4096, kPictureImage, 4096, 4096, ""},
        {"notes", 10, kIcon, -1, -1, ""},
        {"readme.txt", 10, kIcon, -1, -1, "txt"},
        {"movie", 10, kNull, -1, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " of " + std::to_string(c.size));
        Forget();
        const QImage image = QXUIController::GetNSImageByFildNode(File(c.name, c.size));
        switch (c.answer) {
        case kPictureImage:
            EXPECT_EQ(image.size(), QSize(7, 5));
            break;
        case kRawImage:
            EXPECT_EQ(image.size(), QSize(6, 4));
            break;
        case kVideoImage:
            EXPECT_EQ(image.size(), QSize(8, 6));
            break;
        case kIcon:
            EXPECT_EQ(image.text("icon"), QString(c.iconExt));
            break;
        case kNull:
            EXPECT_TRUE(image.isNull());
            break;
        }
        std::vector<std::string> expected;
        if (c.written >= 0) {
            expected.push_back(std::string("set ") + c.name);
            expected.push_back("write " + std::to_string(c.written));
        }
        if (c.read >= 0) {
            expected.push_back(std::string("set ") + c.name);
            expected.push_back("small " + std::to_string(c.read));
            expected.push_back("read " + std::to_string(c.read));
        }
        EXPECT_EQ(log.calls, expected);
        // The file handed over: "thumb." and the lower-cased extension, in a
        // folder of its own that only the owner can enter, under TMPDIR.
        for (const std::string& path : log.paths) {
            const std::filesystem::path p(path);
            EXPECT_EQ(p.filename().string(), "thumb." + QXUIScan::GetNodeExt(File(c.name, 0)));
            EXPECT_EQ(p.parent_path().parent_path().string(), tmp.path());
        }
        for (const auto& seen : fake.seen) {
            if (seen.road == "picture") {
                EXPECT_EQ(seen.bytes, static_cast<qint64>(log.data.size()));
                continue;
            }
            EXPECT_EQ(seen.bytes, std::min<qint64>(c.written, static_cast<qint64>(log.data.size())));
            EXPECT_EQ(seen.folderMode, 0700u);
        }
        EXPECT_TRUE(LeftBehind(tmp.path()).empty());
    }
    // A null node, and no filter yet: nothing at all.
    EXPECT_TRUE(QXUIController::GetNSImageByFildNode(nullptr).isNull());
    QXUIFilter::instance().SetFilterForTest(nullptr);
    EXPECT_TRUE(QXUIController::GetNSImageByFildNodeNSNumber(File("photo.png", 100)).isNull());
    QXUIFilter::instance().SetFilterForTest(&filter);
    // No reader for the node, or no scan controller: the icon.
    Forget();
    log.noReader = true;
    EXPECT_EQ(QXUIController::GetNSImageByFildNode(File("clip.mp4", 100)).text("icon"), "mp4");
    EXPECT_EQ(QXUIController::GetNSImageByFildNode(File("photo.png", 100)).text("icon"), "png");
    EXPECT_TRUE(log.paths.empty());
    QXUIScan::instance().SetControllerFactory(
        [](_RECOVERY_CONTROLLER_TYPE) -> IRecoveryController* { return nullptr; });
    QXUIScan::instance().ResetRecoveryController(RECOVERY_CONTROLLER_DEEP_VOLUME);
    EXPECT_EQ(QXUIController::GetNSImageByFildNode(File("camera.dng", 100)).text("icon"), "dng");
}

// Damaged and hostile files, through the real decoders, end in the icon.
TEST_F(ThumbnailRoads, DamagedFilesGiveTheIcon) {
    Samples samples;
    ASSERT_TRUE(samples.ok);
    SetThumbnailer(nullptr);
    struct Case {
        const char* sample;
        const char* name;  // of the found file
        const char* ext;   // of its icon
    };
    const Case cases[] = {
        {"huge.png", "huge.png", "png"}, {"junk.mp4", "x.png", "png"},    {"cut.mp4", "cut.mp4", "mp4"},
        {"junk.mp4", "junk.mov", "mov"}, {"junk.mp4", "junk.avi", "avi"}, {"junk.mp4", "bad.dng", "dng"},
        {"x.png", "bad.cr2", "cr2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.data = ReadAll(samples / c.sample);
        FakeNode* node = File(c.name, static_cast<int64_t>(log.data.size()));
        EXPECT_EQ(QXUIController::GetNSImageByFildNode(node), SystemThumbnailer().Icon(c.ext));
        EXPECT_TRUE(LeftBehind(tmp.path()).empty());
    }
}

// A name from the disk never becomes a path: "../" in it writes nothing
// outside the private folder, and the preview still comes.
TEST_F(ThumbnailRoads, NameWithParentStepsStaysInThePrivateFolder) {
    Samples samples;
    ASSERT_TRUE(samples.ok);
    SetThumbnailer(nullptr);
    const std::string outside = std::filesystem::path(tmp.path()).parent_path().string();
    struct Case {
        const char* sample;
        const char* name;
        QSize size;
    };
    const Case cases[] = {
        {"clip.mp4", "../../../quillory-escape.mp4", QSize(192, 144)},
        {"camera.dng", "../quillory-escape.dng", QSize(16, 16)},
        {"x.png", "../../quillory-escape.png", QSize(320, 240)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.data = ReadAll(samples / c.sample);
        log.paths.clear();
        const QImage image = QXUIController::GetNSImageByFildNode(File(c.name, static_cast<int64_t>(log.data.size())));
        EXPECT_EQ(image.size(), c.size);
        for (const std::string& path : log.paths)
            EXPECT_EQ(std::filesystem::path(path).parent_path().parent_path().string(), tmp.path());
        EXPECT_TRUE(LeftBehind(tmp.path()).empty());
        for (const char* ext : {".mp4", ".dng", ".png"}) {
            EXPECT_FALSE(std::filesystem::exists(outside + "/quillory-escape" + ext));
            EXPECT_FALSE(std::filesystem::exists("/quillory-escape" + std::string(ext)));
        }
    }
}

// ---------------------------------------------------------------------------
// The previews' own writers.

TEST(ThumbnailWriters, OwnWritersPerVolumeAndTypeReleasedWithTheResult) {
    using namespace fake_controller;
    auto script = std::make_shared<Script>();
    model_test::NodeTree nodes;
    auto* one = nodes.Root("One", SEARCHER_FAT);
    FakeNode* photo = nodes.Add(one, "photo.jpg", false);
    script->steps = {Volume(one, {{photo}})};

    // A quick scan: one writer per volume, apart from the recovery's reader.
    {
        QXUIScan scan;
        scan.SetControllerFactory(Factory(script));
        scan.SetStatus(QXOP_RUNNING);
        static const bool types = (initFileType(), true);
        (void)types;
        model_test::FakeEnumerator devices;
        MemDevice* disk = devices.AddDisk(model_test::MakeDisk("Disk", "loop9", 4, 1));
        MemDevice* volume = devices.AddVolume(disk, model_test::MakeVolume(disk, "One", "loop9p1"));
        QXUIDeviceData model(&devices);
        ASSERT_EQ(model.InitDeviceInfo(), 1);
        scan.SetDeviceData(&model);
        EXPECT_EQ(scan.DoScan(volume, nullptr), ENGINE_OK);
        IRecoveryController* controller = scan.GetRecoveryController();
        ASSERT_NE(controller, nullptr);
        IDataRecovery* used = nullptr;
        EXPECT_TRUE(scan.GetThumbnailWriters().Use(photo, controller, true, [&](IDataRecovery& w) { used = &w; }));
        ASSERT_NE(used, nullptr);
        EXPECT_NE(used, scan.GetFileNodeDataRecover(photo));
        EXPECT_EQ(scan.GetThumbnailWriters().Count(), 1u);
        scan.ReleaseDataRecovery();
        EXPECT_EQ(scan.GetThumbnailWriters().Count(), 0u);
        EXPECT_FALSE(scan.GetThumbnailWriters().Use(photo, controller, true, [](IDataRecovery&) {}));
        EXPECT_EQ(script->readersReleased.load(), script->readersMade.load());
    }

    // A deep scan: a writer per searcher type, the tag tree's of its own;
    // kept only when asked; dropped when the controller changes; one in use
    // outlives a release until its preview ends.
    auto deep = std::make_shared<Script>();
    IRecoveryController* first = Factory(deep)(RECOVERY_CONTROLLER_DEEP_VOLUME);
    IRecoveryController* second = Factory(deep)(RECOVERY_CONTROLLER_DEEP_VOLUME);
    auto* raw = nodes.Root("Raw", SEARCHER_RAW);
    auto* tags = nodes.Root("Tags", SEARCHER_RAW_TAG);
    FakeNode* byType = nodes.Add(raw, "a.jpg", false);
    FakeNode* byTag = nodes.Add(tags, "b.jpg", false);
    ThumbnailWriters writers;
    auto writerOf = [&](IFileNode* node, IRecoveryController* controller, bool keep) {
        IDataRecovery* got = nullptr;
        writers.Use(node, controller, keep, [&](IDataRecovery& w) { got = &w; });
        return got;
    };
    IDataRecovery* a = writerOf(byType, first, true);
    IDataRecovery* b = writerOf(byTag, first, true);
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(writerOf(byType, first, true), a);
    EXPECT_EQ(writers.Count(), 2u);
    writerOf(nodes.Add(one, "c.jpg", false), first, false);
    EXPECT_EQ(writers.Count(), 2u);
    EXPECT_EQ(deep->readersReleased.load(), 1);
    writerOf(byType, second, true);
    EXPECT_EQ(writers.Count(), 1u);
    EXPECT_EQ(deep->readersReleased.load(), 3);
    // Two loaders on one writer take turns: a writer keeps its node
    // between SetRecoverNode and the read.
    std::atomic<int> inside{0}, overlaps{0};
    auto loader = [&] {
        for (int i = 0; i < 100; ++i)
            writers.Use(byType, second, true, [&](IDataRecovery&) {
                if (++inside > 1) ++overlaps;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --inside;
            });
    };
    std::thread loaderA(loader), loaderB(loader);
    loaderA.join();
    loaderB.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(deep->readersMade.load(), 4);
    writers.Use(byType, second, true, [&](IDataRecovery&) {
        writers.Release();
        EXPECT_EQ(deep->readersReleased.load(), 3);
    });
    EXPECT_EQ(deep->readersReleased.load(), 4);
    EXPECT_EQ(deep->readersMade.load(), 4);
    first->Release();
    second->Release();
}

// ---------------------------------------------------------------------------
// As root: previews of files deleted from a FAT volume, found by a quick
// scan through the controller.

using model_test::SpinUntil;

TEST(ThumbnailLoop, PreviewsOfDeletedFilesAfterAQuickScan) {
    if (!devlist_test::CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
    static const bool types = (initFileType(), true);
    (void)types;
    Samples samples;
    ASSERT_TRUE(samples.ok);
    ScratchDir dir;
    ScratchDir tmp;
    const std::string image = dir / "thumbs.img";
    ASSERT_TRUE(Shell(kFixtures + "make_thumbs_disk.sh '" + image + "' '" + samples.dir.path() + "'"));
    devlist_test::LoopDevice loop(image);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(Shell("test -b " + loop.path() + "p1"));
    CEnumDeviceEx enumerator(devlist_test::OnlyDisk(loop.name()));
    QXUIDeviceData::instance().SetEnumerator(&enumerator);
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString(tmp.path()));
    {
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
        std::list<_DiskVolumeData> records;
        QXUIDeviceData::instance().GetAllDeviceInfo(records);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_FALSE(records.front().volumes.empty());
        const DiskVolumeNodeData volume(records.front().volumes.front());
        QXUIController::DoScanWithData(&volume, "", nullptr);
        ASSERT_TRUE(SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 30000));

        const std::map<std::string, QSize> expected{
            {"png", QSize(320, 240)}, {"jpg", QSize(320, 240)}, {"dng", QSize(16, 16)}, {"mp4", QSize(192, 144)}};
        std::map<std::string, QSize> got;
        for (const auto& [type, found] : QXUIScan::instance().GetTypeMap())
            for (IFileNode* node : found) {
                const std::string ext = QXUIScan::GetNodeExt(node);
                if (expected.count(ext)) got[ext] = QXUIController::GetNSImageByFildNode(node).size();
            }
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(LeftBehind(tmp.path()).empty());
    }
    QXUIController::StopScan(1);
    EXPECT_TRUE(SpinUntil([] { return !IsScanWorkerAlive(); }, 30000));
    QXUIScan::instance().ReleaseDataRecovery();
    QXUIDeviceData::instance().SetEnumerator(nullptr);
    if (oldTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", oldTmp);
}

}  // namespace
