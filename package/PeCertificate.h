// Where a Windows executable's own headers say its Authenticode certificate
// table lies. A signature covers the file up to that table, which must come
// last: the package tool refuses to append to a signed stub and reports
// whether a setup is signed. Every offset is checked against the file's
// length before it is read.
#pragma once

#include <cstddef>
#include <cstdint>

struct PeCertificateTable {
    bool executable;   // MZ and PE headers of a PE32 or PE32+ image
    uint32_t offset;   // file offset of the table
    uint32_t size;     // bytes of the table; offset and size 0: not signed

    bool Signed() const { return offset != 0 || size != 0; }
};

PeCertificateTable FindCertificateTable(const uint8_t* data, size_t size);
