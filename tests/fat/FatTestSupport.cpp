#include "FatTestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/LittleEndian.h"
#include "support/Fixture.h"

namespace fattest {

const std::string& FixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_fat_images.sh", std::string(QUILLORY_BINARY_DIR) + "/fixtures/fat");
    }();
    return dir;
}

std::string Fixture(const std::string& name) { return FixtureDir() + "/" + name; }

namespace {
struct ScratchFiles {
    std::vector<std::string> paths;
    ~ScratchFiles() {
        for (auto& p : paths) unlink(p.c_str());
    }
} g_scratch;
}  // namespace

std::string ScratchCopy(const std::string& name) {
    char tmpl[] = "/tmp/fattest-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp");
    close(fd);
    g_scratch.paths.push_back(tmpl);
    std::string cmd = "cp --sparse=always '" + Fixture(name) + "' " + tmpl;
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("copy failed");
    return tmpl;
}

void PatchBytes(const std::string& path, std::uint64_t offset, const void* bytes, std::size_t n) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes, n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
    close(fd);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path, std::uint64_t offset, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    ssize_t r = pread(fd, out.data(), n, static_cast<off_t>(offset));
    close(fd);
    out.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
    return out;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    return ReadBytes(path, 0, static_cast<std::size_t>(st.st_size));
}

std::string Run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

ImageDevice::ImageDevice(const std::string& path, std::uint32_t sectorSize, int type)
    : m_sectorSize(sectorSize), m_type(type) {
    m_fd = open(path.c_str(), O_RDONLY);
    struct stat st {};
    if (m_fd >= 0 && fstat(m_fd, &st) == 0) m_total = st.st_size / sectorSize;
}

ImageDevice::~ImageDevice() {
    if (m_fd >= 0) close(m_fd);
    delete m_data;
}

void ImageDevice::SetPrivateData(IStorageDeviceData* data) {
    delete m_data;
    m_data = data;
}

int ImageDevice::ReadSector(void* buffer, std::int64_t first, std::int64_t count) {
    ++reads;
    m_error = 0;
    if (!buffer || first < 0 || count <= 0 || first >= m_total) {
        m_error = 5;
        return 0;
    }
    const std::size_t n = static_cast<std::size_t>(count) * m_sectorSize;
    ssize_t r = pread(m_fd, buffer, n, static_cast<off_t>(first) * m_sectorSize);
    if (r != static_cast<ssize_t>(n)) {
        if (r > 0) std::memset(static_cast<char*>(buffer) + r, 0, n - r);
        m_error = 1;
        return 0;
    }
    return 1;
}

std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
                                     std::uint16_t date, std::uint16_t time) {
    std::vector<std::uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    auto put16 = [&](int off, std::uint16_t v) { quillory_test::Put16(&e[off], v); };
    put16(14, time);
    put16(16, date);
    put16(18, date);
    put16(20, static_cast<std::uint16_t>(cluster >> 16));
    put16(22, time);
    put16(24, date);
    put16(26, static_cast<std::uint16_t>(cluster));
    quillory_test::Put32(&e[28], size);
    return e;
}

std::vector<std::uint8_t> LongEntries(const std::string& name) {
    const std::size_t pieces = (name.size() + 12) / 13;
    std::vector<std::uint8_t> out;
    static const int pos[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t k = pieces; k-- > 0;) {
        std::vector<std::uint8_t> e(32, 0);
        e[0] = static_cast<std::uint8_t>((k + 1) | (k + 1 == pieces ? 0x40 : 0));
        e[11] = 0x0F;
        for (int i = 0; i < 13; ++i) {
            const std::size_t at = k * 13 + i;
            std::uint16_t u = at < name.size() ? static_cast<unsigned char>(name[at]) : at == name.size() ? 0 : 0xFFFF;
            quillory_test::Put16(&e[pos[i]], u);
        }
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

}  // namespace fattest

#include <algorithm>
#include <sstream>

#include "foundation/DataRun.h"

namespace fattest {

std::string RecordingBuilder::PathOf(IFileNode* node) const { return PathBelow(node, 0); }

std::set<std::string> RecordingBuilder::DeletedPaths() const {
    std::set<std::string> out;
    for (auto* n : nodes)
        if (n->IsDeleted()) out.insert(PathOf(n));
    return out;
}

IFileNode* RecordingBuilder::Find(const std::string& path) const {
    for (auto* n : nodes)
        if (PathOf(n) == path) return n;
    return nullptr;
}

std::set<std::string> FlsDeleted(const std::string& image) {
    std::set<std::string> out;
    std::istringstream lines(Run("fls -r -d -p '" + image + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        out.insert(line.substr(tab + 1));
    }
    return out;
}

std::vector<std::uint8_t> ReadRuns(IStorageDevice& dev, IFileNode* node, std::int64_t dataStart, std::uint32_t spc) {
    std::vector<std::uint8_t> out;
    auto* fnode = dynamic_cast<CFileNode*>(node);
    IDataRunList* runs = fnode ? fnode->GetDataRunList() : nullptr;
    if (!runs) return out;
    const std::uint32_t ss = dev.GetSectorSize();
    for (DataRun* r = runs->GetFirst(); r; r = runs->GetNext()) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(r->length) * spc * ss);
        if (!dev.ReadSector(buf.data(), dataStart + r->start * spc, r->length * spc)) return {};
        out.insert(out.end(), buf.begin(), buf.end());
    }
    if (out.size() > static_cast<std::size_t>(node->GetFileSize())) out.resize(node->GetFileSize());
    return out;
}

std::string ComparableName(const std::string& path) {
    std::string out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(start, slash - start);
        // Erased short names lose their first character; the oracle and we
        // stand different characters in for it.
        if (!part.empty() && (part[0] == '#' || part[0] == '_')) part = part.substr(1);
        std::transform(part.begin(), part.end(), part.begin(), ::tolower);
        if (!out.empty()) out += "/";
        out += part;
        start = slash + 1;
    }
    return out;
}

}  // namespace fattest

namespace fattest {

IFileNode* RecordingBuilder::FindLike(const std::string& path) const {
    const std::string want = ComparableName(path);
    for (auto* n : nodes)
        if (ComparableName(PathOf(n)) == want) return n;
    return nullptr;
}

// Component by component, ignoring case; a component of ours that starts
// with "#" (an erased short name) matches whatever first character.
static bool SameFile(const std::string& ours, const std::string& orig) {
    auto split = [](const std::string& p) {
        std::vector<std::string> parts;
        std::istringstream in(p);
        std::string s;
        while (std::getline(in, s, '/')) {
            std::transform(s.begin(), s.end(), s.begin(), ::tolower);
            parts.push_back(s);
        }
        return parts;
    };
    auto a = split(ours), b = split(orig);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!a[i].empty() && a[i][0] == '#') {
            if (b[i].empty() || a[i].substr(1) != b[i].substr(1)) return false;
        } else if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> Original(const std::string& image, const std::string& path) {
    const std::string root = FixtureDir() + "/orig/" + image;
    std::istringstream files(Run("cd '" + root + "' && find . -type f"));
    std::string f;
    while (std::getline(files, f)) {
        if (f.rfind("./", 0) == 0) f = f.substr(2);
        if (SameFile(path, f)) return ReadFile(root + "/" + f);
    }
    return {};
}

}  // namespace fattest
