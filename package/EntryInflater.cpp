#include "package/EntryInflater.h"

#include "package/InflateStream.h"

#include <zlib.h>

#include <cstring>

namespace {

bool Append(CInflateBuffer* result, const uint8_t* bytes, size_t count)
{
    if (count > PACKAGE_MAX_ENTRY_SIZE - result->Size())
        return false;
    result->Append(bytes, count);
    return true;
}

}  // namespace

CEntryInflater::CEntryInflater(uint8_t* window, uint32_t windowSize) : m_window(window), m_windowSize(windowSize)
{
}

CEntryInflater::~CEntryInflater() = default;

PackageFault CEntryInflater::Inflate(const uint8_t* data, uint32_t size, CInflateBuffer* result)
{
    result->Clear();
    if (!m_window || m_windowSize == 0)
        return FAULT_NO_MEMORY;

    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = size;
    stream.next_out = m_window;
    stream.avail_out = m_windowSize;
    const CInflateStream inflating(&stream);
    if (inflating.Begun() != FAULT_NONE)
        return inflating.Begun();

    int flush = Z_NO_FLUSH;
    for (;;) {
        const int ret = inflate(&stream, flush);
        if (ret == Z_OK) {
            if (stream.avail_out == 0) {
                if (!Append(result, m_window, m_windowSize)) {
                    result->Clear();
                    return FAULT_ENTRY_TOO_LARGE;
                }
                stream.next_out = m_window;
                stream.avail_out = m_windowSize;
            }
            // With all input taken, a stream that is not yet at its end can
            // only be truncated: Z_FINISH makes zlib say so instead of
            // waiting for input that will never come.
            if (stream.avail_in == 0)
                flush = Z_FINISH;
            continue;
        }
        if (ret == Z_STREAM_END) {
            if (!Append(result, m_window, m_windowSize - stream.avail_out)) {
                result->Clear();
                return FAULT_ENTRY_TOO_LARGE;
            }
            return FAULT_NONE;
        }
        result->Clear();
        return ret == Z_MEM_ERROR ? FAULT_NO_MEMORY : FAULT_INFLATE;
    }
}
