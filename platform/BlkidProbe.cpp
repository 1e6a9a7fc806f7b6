#include "platform/BlkidProbe.h"

#include <blkid/blkid.h>

#include <cstring>

namespace {

// Owns one probe for the duration of a call.
class ProbeHolder {
public:
    explicit ProbeHolder(const std::string& path) : m_probe(blkid_new_probe_from_filename(path.c_str())) {}
    // Over a descriptor the caller keeps open.
    ProbeHolder(const std::string& path, int fd) {
        if (fd < 0) {
            m_probe = blkid_new_probe_from_filename(path.c_str());
            return;
        }
        m_probe = blkid_new_probe();
        if (m_probe && blkid_probe_set_device(m_probe, fd, 0, 0) != 0) {
            blkid_free_probe(m_probe);
            m_probe = nullptr;
        }
    }
    ~ProbeHolder() {
        if (m_probe) blkid_free_probe(m_probe);
    }
    ProbeHolder(const ProbeHolder&) = delete;
    ProbeHolder& operator=(const ProbeHolder&) = delete;
    blkid_probe get() const { return m_probe; }

private:
    blkid_probe m_probe;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool BlkidProbe::ProbeTable(const std::string& path, uint32_t sectorSize, BlkidTable& out) {
    return ProbeTable(path, sectorSize, out, -1);
}

bool BlkidProbe::ProbeTable(const std::string& path, uint32_t sectorSize, BlkidTable& out, int fd) {
    out = BlkidTable{};
    ProbeHolder holder(path, fd);
    blkid_probe pr = holder.get();
    if (!pr) return false;
    if (sectorSize != 0) blkid_probe_set_sectorsize(pr, sectorSize);
    blkid_probe_enable_superblocks(pr, 0);
    blkid_probe_enable_partitions(pr, 1);
    blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(pr);
    if (!list) return true;  // no table (or not readable as one)
    blkid_parttable tab = blkid_partlist_get_table(list);
    if (tab) {
        const char* type = blkid_parttable_get_type(tab);
        if (type) out.scheme = type;
    }
    int n = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < n; ++i) {
        blkid_partition par = blkid_partlist_get_partition(list, i);
        if (!par) continue;
        BlkidPartition p;
        p.number = blkid_partition_get_partno(par);
        blkid_loff_t start = blkid_partition_get_start(par);
        blkid_loff_t size = blkid_partition_get_size(par);
        p.start512 = start > 0 ? static_cast<uint64_t>(start) : 0;
        p.size512 = size > 0 ? static_cast<uint64_t>(size) : 0;
        // The nested tables of BSD/Solaris slices do not concern us.
        blkid_parttable ptab = blkid_partition_get_table(par);
        if (ptab && tab && ptab != tab) continue;
        if (out.scheme == "dos") p.mbrType = blkid_partition_get_type(par);
        if (const char* s = blkid_partition_get_type_string(par)) p.typeString = s;
        if (const char* s = blkid_partition_get_uuid(par)) p.uuid = s;
        if (const char* s = blkid_partition_get_name(par)) p.name = s;
        out.partitions.push_back(std::move(p));
    }
    return true;
}

bool BlkidProbe::ProbeFilesystem(const std::string& path, uint32_t sectorSize, std::string& label, std::string& type) {
    return ProbeFilesystem(path, sectorSize, label, type, -1);
}

bool BlkidProbe::ProbeFilesystem(const std::string& path, uint32_t sectorSize, std::string& label, std::string& type,
                                 int fd) {
    label.clear();
    type.clear();
    ProbeHolder holder(path, fd);
    blkid_probe pr = holder.get();
    if (!pr) return false;
    if (sectorSize != 0) blkid_probe_set_sectorsize(pr, sectorSize);
    blkid_probe_enable_partitions(pr, 0);
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    // safeprobe refuses ambiguous results (two signatures) rather than guess.
    if (blkid_do_safeprobe(pr) != 0) return true;
    const char* data = nullptr;
    size_t len = 0;
    if (blkid_probe_lookup_value(pr, "LABEL", &data, &len) == 0 && data) label.assign(data, strnlen(data, len));
    if (blkid_probe_lookup_value(pr, "TYPE", &data, &len) == 0 && data) type.assign(data, strnlen(data, len));
    return true;
}

uint32_t BlkidProbe::SchemeCode(const std::string& scheme) {
    if (scheme == "dos") return 1;
    if (scheme == "gpt") return 2;
    if (scheme == "mac") return 3;
    return 0;
}

bool BlkidProbe::ParseGuid(const std::string& text, uint8_t out[16]) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    uint8_t raw[16];
    size_t k = 0;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '-') {
            ++i;
            continue;
        }
        int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
        if (hi < 0 || lo < 0 || k >= 16) return false;
        raw[k++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    if (k != 16) return false;
    static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) out[i] = raw[kOrder[i]];
    return true;
}
