#pragma once
// A file's name, size, attributes, times, state and runs as one searcher read
// them. Each file system implements it with its own properties class.

#include <cstdint>

class IDataRunList;

class IFileProperties {
public:
    virtual ~IFileProperties() = default;
    virtual int GetFileNameLength() = 0;
    virtual void SetFileName(const char* name) = 0;
    virtual const char* GetFileName() = 0;
    virtual std::int64_t GetFileSize() = 0;
    virtual std::uint32_t GetAttribute() = 0;
    virtual std::int64_t GetRawFileCreateTime() = 0;
    // Times are 100 ns units since 1601-01-01; 0 means none.
    virtual std::int64_t GetCreationTime() = 0;
    virtual std::int64_t GetModificationTime() = 0;
    virtual std::int64_t GetLastAccessTime() = 0;
    virtual unsigned short GetState() = 0;
    virtual void SetState(unsigned short state) = 0;
    virtual IDataRunList* GetDataRunList() = 0;
    virtual IFileProperties* Clone() = 0;
};
