// A zlib inflate stream begun with the version the reader asks for, and ended
// on every path, exceptions included.
#pragma once

#include "package/PackageFormat.h"

#include <zlib.h>

class CInflateStream {
public:
    // The stream's fields are zeroed or set by the caller before.
    explicit CInflateStream(z_stream* stream)
        : m_stream(stream), m_init(inflateInit_(stream, PACKAGE_ZLIB_VERSION, static_cast<int>(sizeof(*stream))))
    {
    }
    virtual ~CInflateStream()
    {
        if (m_init == Z_OK)
            inflateEnd(m_stream);
    }

    CInflateStream(const CInflateStream&) = delete;
    CInflateStream& operator=(const CInflateStream&) = delete;

    // FAULT_NONE once the stream has begun.
    PackageFault Begun() const
    {
        return m_init == Z_OK ? FAULT_NONE : m_init == Z_MEM_ERROR ? FAULT_NO_MEMORY : FAULT_INFLATE;
    }

private:
    z_stream* m_stream;
    int m_init;
};
