// Saving and restoring scan results: N node records of 15 small fields each
// written into one frame of a record container and read back, as the
// scan-result file does for every found file.
//   bench-record-container [NODES] [FOLDER]   (defaults: 2000000, /tmp)
#include "foundation/RecordContainer.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

const tagGUIDSIGN kNodes = {{0x4E, 0x4F, 0x44, 0x45, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}};

}  // namespace

int main(int argc, char** argv) {
    const long nodes = argc > 1 ? std::atol(argv[1]) : 2000000;
    const std::string path = std::string(argc > 2 ? argv[2] : "/tmp") + "/bench-record-container.qrs";
    const char name[] = "IMG_20240101_120000.jpg";
    uint64_t bytes = 0;

    auto start = std::chrono::steady_clock::now();
    {
        CRSData rs(RSMODE_WRITE);
        if (!rs.StartRS(path.c_str(), 1) || !rs.SetStatus(1)) {
            std::fprintf(stderr, "cannot create %s\n", path.c_str());
            return 1;
        }
        rs.OpenFrame(kNodes);
        for (long i = 0; i < nodes; ++i) {
            const int64_t id = i, parent = i / 16, size = i * 4096, t1 = i, t2 = i + 1, t3 = i + 2;
            const uint32_t attributes = 0x20, runs = 1, nameLength = sizeof name - 1;
            const int64_t runStart = i * 8, runLength = 8;
            const uint8_t directory = 0, deleted = 1, shown = 1, compressed = 0;
            rs.WriteCurFrame(&id, 8);
            rs.WriteCurFrame(&parent, 8);
            rs.WriteCurFrame(&size, 8);
            rs.WriteCurFrame(&attributes, 4);
            rs.WriteCurFrame(&t1, 8);
            rs.WriteCurFrame(&t2, 8);
            rs.WriteCurFrame(&t3, 8);
            rs.WriteCurFrame(&directory, 1);
            rs.WriteCurFrame(&deleted, 1);
            rs.WriteCurFrame(&runs, 4);
            rs.WriteCurFrame(&runStart, 8);
            rs.WriteCurFrame(&runLength, 8);
            rs.WriteCurFrame(&nameLength, 4);
            rs.WriteCurFrame(name, nameLength);
            rs.WriteCurFrame(&shown, 1);
            rs.WriteCurFrame(&compressed, 1);
        }
        bytes = rs.GetFrameSize();
        rs.CloseFrame();
        if (!rs.EndRS()) {
            std::fprintf(stderr, "writing %s failed\n", path.c_str());
            return 1;
        }
    }
    const double writeSeconds = Seconds(start);

    start = std::chrono::steady_clock::now();
    uint64_t check = 0;
    {
        CRSData rs(RSMODE_READ);
        if (!rs.StartRS(path.c_str(), 0) || !rs.CheckFile()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        rs.OpenFrame(kNodes);
        for (long i = 0; i < nodes; ++i) {
            int64_t v[9];
            uint32_t u[3];
            uint8_t b[4];
            char text[64];
            rs.ReadCurFrame(&v[0], 8);
            rs.ReadCurFrame(&v[1], 8);
            rs.ReadCurFrame(&v[2], 8);
            rs.ReadCurFrame(&u[0], 4);
            rs.ReadCurFrame(&v[3], 8);
            rs.ReadCurFrame(&v[4], 8);
            rs.ReadCurFrame(&v[5], 8);
            rs.ReadCurFrame(&b[0], 1);
            rs.ReadCurFrame(&b[1], 1);
            rs.ReadCurFrame(&u[1], 4);
            rs.ReadCurFrame(&v[6], 8);
            rs.ReadCurFrame(&v[7], 8);
            rs.ReadCurFrame(&u[2], 4);
            rs.ReadCurFrame(text, u[2] < sizeof text ? u[2] : sizeof text);
            rs.ReadCurFrame(&b[2], 1);
            rs.ReadCurFrame(&b[3], 1);
            check += static_cast<uint64_t>(v[0]);
        }
    }
    const double readSeconds = Seconds(start);
    ::unlink(path.c_str());
    const double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf("%ld nodes, %.1f MiB: write %.2f s (%.0f MiB/s), read %.2f s (%.0f MiB/s)%s\n", nodes, mib,
                writeSeconds, mib / writeSeconds, readSeconds, mib / readSeconds,
                check == static_cast<uint64_t>(nodes) * (nodes - 1) / 2 ? "" : " MISMATCH");
    return 0;
}
