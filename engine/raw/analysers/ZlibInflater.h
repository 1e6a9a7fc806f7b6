#pragma once
// One zlib inflate stream kept for a whole search. The analysers inflate
// small metadata (an Office document's core properties, a package's table of
// contents) once per file found; on a dense disk that is thousands of times,
// and zlib's state and 32 KiB window, set up and freed for each, cost more
// than the inflating. A reset stream starts with an empty window, so the
// bytes it gives are those of a fresh one.

#include <zlib.h>

#include <cstddef>
#include <cstdint>

class ZlibInflater {
public:
    // windowBits as inflateInit2 takes it: -15 raw deflate, 15 zlib.
    explicit ZlibInflater(int windowBits) : m_windowBits(windowBits) {}
    ~ZlibInflater() {
        if (m_ready) inflateEnd(&m_z);
    }
    ZlibInflater(const ZlibInflater&) = delete;
    ZlibInflater& operator=(const ZlibInflater&) = delete;

    // A stream at its start, or null when zlib cannot set one up.
    z_stream* Start() {
        if (!m_ready) {
            m_z = z_stream{};
            if (inflateInit2(&m_z, m_windowBits) != Z_OK) return nullptr;
            m_ready = true;
        } else if (inflateReset(&m_z) != Z_OK) {
            return nullptr;
        }
        return &m_z;
    }

    // zlib's uncompress() on the kept stream, for a destination of at least
    // one byte: true when the whole stream inflated into the room given,
    // with outLength set to its length.
    bool Uncompress(std::uint8_t* out, std::size_t& outLength, const std::uint8_t* in, std::size_t inLength) {
        // uncompress() feeds at most a uInt at a time; one feed here.
        if (outLength == 0 || outLength > 0xFFFFFFFFu || inLength > 0xFFFFFFFFu) return false;
        z_stream* z = Start();
        if (z == nullptr) return false;
        z->next_in = const_cast<Bytef*>(in);
        z->avail_in = static_cast<uInt>(inLength);
        z->next_out = out;
        z->avail_out = static_cast<uInt>(outLength);
        int rc = Z_OK;
        do rc = inflate(z, Z_NO_FLUSH);
        while (rc == Z_OK);
        if (rc != Z_STREAM_END) return false;
        outLength = z->total_out;
        return true;
    }

private:
    z_stream m_z{};
    int m_windowBits;
    bool m_ready = false;
};
