// One load of a package from a source: the header found, the entry area's
// digest and every entry's bounds checked, and the entries inflated and
// checked on a few workers at once, each straight into the memory it keeps.
// The source is read through bounded windows; nothing holds the whole file.
//
// The answer is the one a reader going through the package in order would
// give: the header, then the entry area's digest, then the entries' bounds,
// then the entries in package order, the first damaged one deciding. Work
// that can no longer change the answer (entries after a damaged one, all of
// them once the area's digest differs) is dropped early.
#pragma once

#include "package/EntryRegion.h"
#include "package/Md5.h"
#include "package/PackageFormat.h"
#include "package/PackageSource.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CWorkerPool;

class CPackageLoad {
public:
    // One inflated entry; data points into heap or region.
    struct Entry {
        std::string name;
        std::unique_ptr<uint8_t[]> heap;  // small contents, exactly sized
        CEntryRegion region;              // large contents, in place
        const uint8_t* data = nullptr;
        uint32_t size = 0;
    };

    // The window (the reader's work buffer) is borrowed for reading the
    // entries' headers. workers: how many entries may be worked on at once.
    CPackageLoad(const CPackageSource& source, uint8_t* window, uint32_t windowSize, unsigned workers);
    virtual ~CPackageLoad();

    CPackageLoad(const CPackageLoad&) = delete;
    CPackageLoad& operator=(const CPackageLoad&) = delete;

    // Finds the header and reads the entries' names and bounds; starts the
    // entry area's digest. A fault here ends the load. May throw std::bad_alloc.
    PackageFault Open();
    // The entries' names in package order, once Open succeeded.
    std::vector<std::string> Names() const;
    // Inflates and checks every entry and waits for all the work; the load's
    // answer. May throw std::bad_alloc.
    PackageFault Finish();
    // The entry a fault names (its index, and its name where known).
    uint32_t FaultEntry() const { return m_faultEntry; }
    const std::string& FaultName() const { return m_faultName; }
    // After a sound Finish: every entry in package order, to be taken.
    std::vector<Entry>& Entries() { return m_done; }

private:
    struct EntryInfo {
        std::string name;
        uint64_t dataOffset;
        uint32_t compressedSize;
        Md5Digest digest;
    };
    struct EntryWork;

    static void AreaJob(void* context, uint32_t, unsigned);
    static void EntryJob(void* context, uint32_t index, unsigned worker);
    static void HashJob(void* context, uint32_t index, unsigned);

    size_t FindHeader(bool* readFailed);
    PackageFault WalkEntries();
    PackageFault DigestArea();
    PackageFault Inflate(uint32_t index, unsigned worker, size_t* produced, bool* dropped);
    void Publish(uint32_t index, size_t produced);
    void EndInflate(uint32_t index, size_t produced, PackageFault fault, bool dropped);
    void HashAvailable(uint32_t index);
    void Complete(uint32_t index);
    bool Dropped(uint32_t index) const;
    void NoteFault(uint32_t index);
    PackageFault Fault(PackageFault fault, uint32_t index);

    const CPackageSource& m_source;
    uint8_t* m_window;
    uint32_t m_windowSize;
    unsigned m_workers;

    uint64_t m_areaOffset;
    uint32_t m_dataLength;
    uint32_t m_entryCount;
    Md5Digest m_areaDigest;
    std::vector<EntryInfo> m_entries;
    PackageFault m_walkFault;
    uint32_t m_walkFaultEntry;

    std::unique_ptr<CWorkerPool> m_pool;
    PackageFault m_areaFault;
    std::unique_ptr<EntryWork[]> m_work;
    std::vector<CEntryRegion> m_scratch;  // per worker: where the next entry inflates
    std::atomic<bool> m_dropAll;          // the area's digest decides the answer
    std::atomic<uint32_t> m_firstFault;   // lowest index of a damaged entry

    uint32_t m_faultEntry;
    std::string m_faultName;
    std::vector<Entry> m_done;
};
