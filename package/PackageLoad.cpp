#include "package/PackageLoad.h"

#include "package/InflateStream.h"
#include "package/PackageView.h"
#include "package/WorkerPool.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

namespace {

constexpr size_t READ_SIZE = 256 * 1024;        // one read of compressed data or of the header search
constexpr size_t AREA_READ_SIZE = 1024 * 1024;  // one read of the entry area's digest pass
constexpr size_t OUTPUT_STEP = 1024 * 1024;     // inflated per zlib call, then handed on to the digest
constexpr size_t COMMIT_AHEAD = 2 * OUTPUT_STEP;
// Up to this size an entry's contents move into a heap block of exactly their
// size, and its region serves the worker's next entry: a page and a
// reservation for every small file would cost more than the copy.
constexpr size_t SMALL_ENTRY_SIZE = 256 * 1024;
// Deflate's densest code gives 258 bytes for two bits.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;
constexpr uint32_t NO_ENTRY = UINT32_MAX;
// More workers only add memory in flight: the package's work is zlib and MD5.
constexpr unsigned MAX_WORKERS = 8;
// A worker beyond the first pays for its thread only with about this much of
// the entry area to do: in a process that has loaded many DLLs, starting and
// ending a thread costs milliseconds (every DLL hears of both).
constexpr uint64_t AREA_PER_WORKER = 1024 * 1024;

}  // namespace

// The state of one entry while it is inflated and digested, possibly by two
// workers at once: the one inflating publishes how far it got, and whoever
// holds `hashing` feeds those bytes to the digest. The one that finds the
// inflating ended and every byte digested completes the entry.
struct CPackageLoad::EntryWork {
    std::mutex mutex;
    CEntryRegion region;
    size_t produced = 0;
    size_t hashed = 0;
    bool hashing = false;
    bool inflated = false;
    bool dropped = false;
    PackageFault fault = FAULT_NONE;
    unsigned worker = 0;  // whose scratch region it inflated into
    CMd5 md5;
    std::unique_ptr<uint8_t[]> heap;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

CPackageLoad::CPackageLoad(const CPackageSource& source, uint8_t* window, uint32_t windowSize, unsigned workers)
    : m_source(source),
      m_window(window),
      m_windowSize(window ? windowSize : 0),
      m_workers(std::min(std::max(workers, 1u), MAX_WORKERS)),
      m_areaOffset(0),
      m_dataLength(0),
      m_entryCount(0),
      m_areaDigest(),
      m_walkFault(FAULT_NONE),
      m_walkFaultEntry(0),
      m_areaFault(FAULT_NONE),
      m_dropAll(false),
      m_firstFault(NO_ENTRY),
      m_faultEntry(0)
{
}

CPackageLoad::~CPackageLoad()
{
    // The jobs use everything else here: they end first.
    m_pool.reset();
}

PackageFault CPackageLoad::Open()
{
    bool readFailed = false;
    const size_t header = FindHeader(&readFailed);
    if (readFailed)
        return FAULT_READ;
    if (header == CPackageView::NOT_FOUND)
        return FAULT_NO_HEADER;

    // All sizes are checked in 64 bits against the bytes that are really there.
    const uint64_t available = m_source.Size() - header;
    if (available < PACKAGE_HEADER_SIZE)
        return FAULT_HEADER_TRUNCATED;
    uint8_t headerBytes[PACKAGE_HEADER_SIZE];
    const uint8_t* fields = m_source.Get(header, PACKAGE_HEADER_SIZE, headerBytes);
    if (!fields)
        return FAULT_READ;
    m_dataLength = ReadLe32(fields + PACKAGE_OFFSET_DATA_LENGTH);
    m_entryCount = ReadLe32(fields + PACKAGE_OFFSET_ENTRY_COUNT);
    if (static_cast<uint64_t>(m_dataLength) > available - PACKAGE_HEADER_SIZE)
        return FAULT_AREA_PAST_END;
    std::memcpy(m_areaDigest.data(), fields + PACKAGE_OFFSET_DATA_DIGEST, MD5_DIGEST_SIZE);
    m_areaOffset = header + PACKAGE_HEADER_SIZE;

    // The area's digest runs while the entries are walked; every entry takes
    // at least its fixed bytes, which bounds how many can need a worker.
    const uint64_t mostEntries = std::min<uint64_t>(m_entryCount, m_dataLength / ENTRY_HEADER_SIZE);
    const uint64_t workers = std::min<uint64_t>({m_workers, mostEntries + 1, 1 + m_dataLength / AREA_PER_WORKER});
    m_pool = std::make_unique<CWorkerPool>(static_cast<unsigned>(workers));
    m_scratch.resize(m_pool->Workers());
    if (!m_pool->Post(CWorkerPool::Job{&CPackageLoad::AreaJob, this, 0}))
        throw std::bad_alloc();
    m_walkFault = WalkEntries();
    return FAULT_NONE;
}

std::vector<std::string> CPackageLoad::Names() const
{
    std::vector<std::string> names;
    names.reserve(m_entries.size());
    for (const EntryInfo& entry : m_entries)
        names.push_back(entry.name);
    return names;
}

PackageFault CPackageLoad::Finish()
{
    // Without the reader's work buffer a load fails at its first entry, as
    // it always has; the entries then need no work.
    const bool inflating = m_walkFault == FAULT_NONE && m_windowSize != 0 && !m_entries.empty();
    if (inflating) {
        m_work.reset(new EntryWork[m_entries.size()]);
        // Largest first, so that no large entry starts last while the other
        // workers run out of work; the answer does not depend on the order.
        std::vector<uint32_t> order(m_entries.size());
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
            return m_entries[a].compressedSize > m_entries[b].compressedSize;
        });
        for (const uint32_t index : order) {
            if (!m_pool->Post(CWorkerPool::Job{&CPackageLoad::EntryJob, this, index}))
                throw std::bad_alloc();
        }
    }
    m_pool->RunAll();

    if (m_pool->JobFailed())
        return Fault(FAULT_NO_MEMORY, 0);
    if (m_areaFault != FAULT_NONE)
        return Fault(m_areaFault, 0);
    if (m_walkFault != FAULT_NONE)
        return Fault(m_walkFault, m_walkFaultEntry);
    if (m_entries.empty())
        return FAULT_NONE;
    if (!inflating)
        return Fault(FAULT_NO_MEMORY, 0);
    for (uint32_t index = 0; index < m_entries.size(); ++index) {
        if (m_work[index].fault != FAULT_NONE)
            return Fault(m_work[index].fault, index);
    }

    m_done.resize(m_entries.size());
    for (uint32_t index = 0; index < m_entries.size(); ++index) {
        EntryWork& work = m_work[index];
        Entry& entry = m_done[index];
        entry.name = std::move(m_entries[index].name);
        entry.heap = std::move(work.heap);
        entry.region = std::move(work.region);
        entry.data = work.data;
        entry.size = work.size;
    }
    return FAULT_NONE;
}

PackageFault CPackageLoad::Fault(PackageFault fault, uint32_t index)
{
    m_faultEntry = index;
    m_faultName = index < m_entries.size() ? m_entries[index].name : std::string();
    return fault;
}

size_t CPackageLoad::FindHeader(bool* readFailed)
{
    const uint64_t size = m_source.Size();
    if (m_source.InMemory())
        return CPackageView::FindHeader(m_source.Get(0, static_cast<size_t>(size), nullptr), static_cast<size_t>(size));

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[READ_SIZE]);
    size_t matched = 0;
    for (uint64_t start = 0; start < size;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(READ_SIZE, size - start));
        const uint8_t* piece = m_source.Get(start, count, buffer.get());
        if (!piece) {
            *readFailed = true;
            return CPackageView::NOT_FOUND;
        }
        for (size_t at = 0; at < count;) {
            const size_t end = CPackageView::MatchMagic(piece + at, count - at, &matched);
            if (end == CPackageView::NOT_FOUND)
                break;
            at += end;
            // The marker may lie in the next piece: it is read on its own.
            const uint64_t after = start + at;
            if (size - after >= PACKAGE_MARKER_SIZE) {
                uint8_t markerBytes[PACKAGE_MARKER_SIZE];
                const uint8_t* marker = m_source.Get(after, PACKAGE_MARKER_SIZE, markerBytes);
                if (!marker) {
                    *readFailed = true;
                    return CPackageView::NOT_FOUND;
                }
                if (CPackageView::MarkerMatches(marker))
                    return static_cast<size_t>(after - PACKAGE_MAGIC_SIZE);
            }
        }
        start += count;
    }
    return CPackageView::NOT_FOUND;
}

PackageFault CPackageLoad::WalkEntries()
{
    // Entry headers are small and mostly close together: they are read
    // through the window, which is refilled only when a header lies outside.
    const uint64_t areaEnd = m_areaOffset + m_dataLength;
    uint64_t windowStart = 0;
    size_t windowLength = 0;
    auto read = [&](uint64_t offset, size_t count, uint8_t* own) -> const uint8_t* {
        if (m_source.InMemory() || count > m_windowSize)
            return m_source.Get(offset, count, own);
        if (offset < windowStart || offset + count > windowStart + windowLength) {
            const size_t length = static_cast<size_t>(std::min<uint64_t>(m_windowSize, areaEnd - offset));
            if (!m_source.Get(offset, length, m_window))
                return nullptr;
            windowStart = offset;
            windowLength = length;
        }
        return m_window + (offset - windowStart);
    };

    m_entries.reserve(static_cast<size_t>(std::min<uint64_t>(m_entryCount, 4096)));
    uint64_t offset = 0;
    for (uint32_t index = 0; index < m_entryCount; ++index) {
        m_walkFaultEntry = index;
        const uint64_t left = m_dataLength - offset;
        if (left < ENTRY_HEADER_SIZE) {
            m_entries.clear();
            return FAULT_ENTRY_PAST_END;
        }
        uint8_t fixedBytes[ENTRY_HEADER_SIZE];
        const uint8_t* fixed = read(m_areaOffset + offset, ENTRY_HEADER_SIZE, fixedBytes);
        if (!fixed) {
            m_entries.clear();
            return FAULT_READ;
        }
        EntryInfo info;
        info.compressedSize = ReadLe32(fixed + ENTRY_OFFSET_COMPRESSED_SIZE);
        const uint32_t nameLength = ReadLe32(fixed + ENTRY_OFFSET_NAME_LENGTH);
        std::memcpy(info.digest.data(), fixed + ENTRY_OFFSET_CONTENT_DIGEST, MD5_DIGEST_SIZE);
        const uint64_t total = ENTRY_HEADER_SIZE + static_cast<uint64_t>(nameLength) + info.compressedSize;
        if (total > left) {
            m_entries.clear();
            return FAULT_ENTRY_PAST_END;
        }
        const uint64_t nameOffset = m_areaOffset + offset + ENTRY_HEADER_SIZE;
        info.name.resize(nameLength);
        if (nameLength) {
            uint8_t* own = reinterpret_cast<uint8_t*>(&info.name[0]);
            const uint8_t* name = read(nameOffset, nameLength, own);
            if (!name) {
                m_entries.clear();
                return FAULT_READ;
            }
            if (name != own)
                std::memcpy(own, name, nameLength);
        }
        info.dataOffset = nameOffset + nameLength;
        m_entries.push_back(std::move(info));
        offset += total;
    }
    m_walkFaultEntry = 0;
    return FAULT_NONE;
}

void CPackageLoad::AreaJob(void* context, uint32_t, unsigned)
{
    CPackageLoad* load = static_cast<CPackageLoad*>(context);
    load->m_areaFault = load->DigestArea();
    // A differing area decides the answer: no entry's work matters any more.
    if (load->m_areaFault != FAULT_NONE)
        load->m_dropAll = true;
}

PackageFault CPackageLoad::DigestArea()
{
    CMd5 md5;
    if (m_source.InMemory()) {
        md5.Update(m_source.Get(m_areaOffset, m_dataLength, nullptr), m_dataLength);
    } else {
        std::unique_ptr<uint8_t[]> buffer(
            new (std::nothrow) uint8_t[std::min<size_t>(AREA_READ_SIZE, std::max<size_t>(m_dataLength, 1))]);
        if (!buffer)
            return FAULT_NO_MEMORY;
        for (uint64_t done = 0; done < m_dataLength;) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(AREA_READ_SIZE, m_dataLength - done));
            const uint8_t* bytes = m_source.Get(m_areaOffset + done, count, buffer.get());
            if (!bytes)
                return FAULT_READ;
            md5.Update(bytes, count);
            done += count;
        }
    }
    return md5.Final() == m_areaDigest ? FAULT_NONE : FAULT_AREA_DIGEST;
}

bool CPackageLoad::Dropped(uint32_t index) const
{
    return m_dropAll.load(std::memory_order_relaxed) || m_firstFault.load(std::memory_order_relaxed) < index;
}

void CPackageLoad::NoteFault(uint32_t index)
{
    uint32_t first = m_firstFault.load();
    while (index < first && !m_firstFault.compare_exchange_weak(first, index)) {
    }
}

void CPackageLoad::EntryJob(void* context, uint32_t index, unsigned worker)
{
    CPackageLoad* load = static_cast<CPackageLoad*>(context);
    EntryWork& work = load->m_work[index];
    work.worker = worker;
    if (load->Dropped(index)) {
        load->EndInflate(index, 0, FAULT_NONE, true);
        return;
    }
    size_t produced = 0;
    bool dropped = false;
    const PackageFault fault = load->Inflate(index, worker, &produced, &dropped);
    load->EndInflate(index, produced, fault, dropped);
}

PackageFault CPackageLoad::Inflate(uint32_t index, unsigned worker, size_t* produced, bool* dropped)
{
    const EntryInfo& info = m_entries[index];
    EntryWork& work = m_work[index];

    // Room for the most the stream can become, and one byte more to see it
    // grow past the largest size a table entry can have.
    const uint64_t most =
        std::min<uint64_t>(static_cast<uint64_t>(info.compressedSize) * MAX_INFLATE_RATIO, PACKAGE_MAX_ENTRY_SIZE + 1);
    CEntryRegion& scratch = m_scratch[worker];
    if (scratch.Capacity() < most && !scratch.Reserve(static_cast<size_t>(most)))
        return FAULT_NO_MEMORY;
    work.region = std::move(scratch);
    CEntryRegion& out = work.region;

    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    uint64_t next = info.dataOffset;
    uint32_t remaining = info.compressedSize;
    std::unique_ptr<uint8_t[]> input;
    if (m_source.InMemory()) {
        stream.next_in = const_cast<Bytef*>(m_source.Get(next, remaining, nullptr));
        stream.avail_in = remaining;
        remaining = 0;
    } else {
        input.reset(new (std::nothrow) uint8_t[std::min<size_t>(READ_SIZE, std::max<uint32_t>(remaining, 1))]);
        if (!input)
            return FAULT_NO_MEMORY;
    }
    const CInflateStream inflating(&stream);
    if (inflating.Begun() != FAULT_NONE)
        return inflating.Begun();

    int flush = Z_NO_FLUSH;
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            const size_t count = std::min<size_t>(READ_SIZE, remaining);
            const uint8_t* bytes = m_source.Get(next, count, input.get());
            if (!bytes)
                return FAULT_READ;
            stream.next_in = const_cast<Bytef*>(bytes);
            stream.avail_in = static_cast<uInt>(count);
            next += count;
            remaining -= static_cast<uint32_t>(count);
        }
        if (out.Committed() - *produced < OUTPUT_STEP && out.Committed() < out.Capacity() &&
            !out.Commit(std::min(out.Capacity(), *produced + COMMIT_AHEAD)))
            return FAULT_NO_MEMORY;
        const size_t room = std::min(out.Committed() - *produced, OUTPUT_STEP);
        if (room == 0)
            return FAULT_INFLATE;  // more than deflate can give: not a stream this reader made sense of

        stream.next_out = out.Data() + *produced;
        stream.avail_out = static_cast<uInt>(room);
        const int ret = inflate(&stream, flush);
        *produced += room - stream.avail_out;
        if (*produced > PACKAGE_MAX_ENTRY_SIZE)
            return FAULT_ENTRY_TOO_LARGE;
        if (ret == Z_STREAM_END)
            return FAULT_NONE;
        if (ret != Z_OK)
            return ret == Z_MEM_ERROR ? FAULT_NO_MEMORY : FAULT_INFLATE;
        if (*produced > SMALL_ENTRY_SIZE)
            Publish(index, *produced);
        if (Dropped(index)) {
            *dropped = true;
            return FAULT_NONE;
        }
        // With all input taken, a stream that is not yet at its end can only
        // be truncated: Z_FINISH makes zlib say so instead of waiting for
        // input that will never come.
        if (stream.avail_in == 0 && remaining == 0)
            flush = Z_FINISH;
    }
}

void CPackageLoad::Publish(uint32_t index, size_t produced)
{
    EntryWork& work = m_work[index];
    {
        std::lock_guard<std::mutex> lock(work.mutex);
        work.produced = produced;
        if (work.hashing)
            return;
        work.hashing = true;
    }
    // A worker with nothing to do digests beside the inflating; otherwise
    // the bytes are digested here and now, while they are still in the cache.
    if (m_pool->Idle() > 0 && m_pool->Post(CWorkerPool::Job{&CPackageLoad::HashJob, this, index}, true))
        return;
    HashAvailable(index);
}

void CPackageLoad::EndInflate(uint32_t index, size_t produced, PackageFault fault, bool dropped)
{
    EntryWork& work = m_work[index];
    {
        std::lock_guard<std::mutex> lock(work.mutex);
        work.produced = produced;
        work.fault = fault;
        work.dropped = dropped;
        work.inflated = true;
        if (work.hashing)
            return;  // the one digesting completes the entry
        work.hashing = true;
    }
    HashAvailable(index);
}

void CPackageLoad::HashJob(void* context, uint32_t index, unsigned)
{
    static_cast<CPackageLoad*>(context)->HashAvailable(index);
}

void CPackageLoad::HashAvailable(uint32_t index)
{
    EntryWork& work = m_work[index];
    std::unique_lock<std::mutex> lock(work.mutex);
    for (;;) {
        const bool useless = (work.inflated && (work.fault != FAULT_NONE || work.dropped)) || Dropped(index);
        if (!useless && work.hashed < work.produced) {
            const size_t from = work.hashed;
            const size_t to = work.produced;
            lock.unlock();
            work.md5.Update(work.region.Data() + from, to - from);
            lock.lock();
            work.hashed = to;
            continue;
        }
        if (!work.inflated) {
            work.hashing = false;
            return;
        }
        break;
    }
    lock.unlock();
    Complete(index);
}

void CPackageLoad::Complete(uint32_t index)
{
    EntryWork& work = m_work[index];
    if (work.dropped || Dropped(index)) {
        work.dropped = true;
        return;
    }
    if (work.fault == FAULT_NONE) {
        if (work.produced == 0)
            work.fault = FAULT_EMPTY_ENTRY;
        else if (work.md5.Final() != m_entries[index].digest)
            work.fault = FAULT_CONTENT_DIGEST;
    }
    if (work.fault == FAULT_NONE && work.produced <= SMALL_ENTRY_SIZE) {
        work.heap.reset(new (std::nothrow) uint8_t[work.produced]);
        if (work.heap) {
            std::memcpy(work.heap.get(), work.region.Data(), work.produced);
            work.data = work.heap.get();
            work.size = static_cast<uint32_t>(work.produced);
            // Only small entries get here, and only on the worker that
            // inflated them (they never had a second digester): its scratch.
            m_scratch[work.worker] = std::move(work.region);
            return;
        }
        work.fault = FAULT_NO_MEMORY;
    }
    if (work.fault != FAULT_NONE) {
        NoteFault(index);
        work.region.Release();
        return;
    }
    work.region.Trim(work.produced);
    work.data = work.region.Data();
    work.size = static_cast<uint32_t>(work.produced);
}
