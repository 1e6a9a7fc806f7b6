#pragma once
// The reader of one found file's data, as the file writer copies it out.

#include <cstdint>

class IFileReader {
public:
    virtual ~IFileReader() = default;
    // Bytes placed in `buffer` from byte `offset` of the file's data; 0 on
    // failure. `error` may be null.
    virtual int ReadData(long long offset, char* buffer, unsigned length, int* error) = 0;
    // A new reader on the same node and geometry (null when it cannot be made).
    virtual IFileReader* Clone() = 0;
    // Bytes of data the file has (what the writer copies).
    virtual long long GetDataSize() const = 0;
    virtual int IsCompressFile() = 0;
    virtual void Release() = 0;
};
