// Deterministic payload bytes for the benchmarks: data shaped like what
// setups carry (code, text, already compressed resources, tables), so that
// zlib and MD5 meet the mix of work real files give them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace benchdata {

enum class Kind { EXECUTABLE, TEXT, COMPRESSED, MIXED };

class CRandom {
public:
    explicit CRandom(uint32_t seed) : m_x(seed | 1) {}
    uint32_t Next()
    {
        m_x ^= m_x << 13;
        m_x ^= m_x >> 17;
        m_x ^= m_x << 5;
        return m_x;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }

private:
    uint32_t m_x;
};

// Appends about `size` bytes of one kind (not MIXED) to data.
inline void AppendData(std::string* data, size_t size, Kind kind, CRandom* random)
{
    static const char* const words[] = {"the ", "service ", "driver ", "install ", "Velloran ", "device ",
                                        "\\par ", "licence ", "of ", "and ", "to ", "file ", "\r\n"};
    const size_t start = data->size();
    const size_t end = start + size;
    while (data->size() < end) {
        const uint32_t choice = random->Below(100);
        if (kind == Kind::COMPRESSED) {
            for (uint32_t n = 256; n; --n)
                data->push_back(static_cast<char>(random->Next() >> 24));
        } else if (kind == Kind::EXECUTABLE && choice < 40) {
            for (uint32_t n = 4 + random->Below(40); n; --n)
                data->push_back(static_cast<char>(random->Next() >> 24));
        } else if (kind == Kind::TEXT && choice < 85) {
            *data += words[random->Below(sizeof(words) / sizeof(words[0]))];
        } else if (choice < 95 && data->size() - start > 300) {
            const size_t made = data->size() - start;
            const size_t distance = 1 + random->Below(static_cast<uint32_t>(made < 30000 ? made : 30000));
            const size_t from = data->size() - distance;
            for (uint32_t n = 4 + random->Below(60); n; --n)
                data->push_back((*data)[from + n % distance]);
        } else {
            data->append(8 + random->Below(120), '\0');
        }
    }
    data->resize(end);
}

// MIXED: 64 KiB stretches of code, text and compressed resources in turn,
// about half of it left after deflate, as large programs and help files are.
inline std::string MakeData(size_t size, Kind kind, uint32_t seed)
{
    CRandom random(seed);
    std::string data;
    data.reserve(size);
    if (kind != Kind::MIXED) {
        AppendData(&data, size, kind, &random);
        return data;
    }
    constexpr size_t STRETCH = 64 * 1024;
    while (data.size() < size) {
        const uint32_t choice = random.Below(100);
        const Kind part = choice < 50 ? Kind::EXECUTABLE : choice < 70 ? Kind::TEXT : Kind::COMPRESSED;
        const size_t left = size - data.size();
        AppendData(&data, left < STRETCH ? left : STRETCH, part, &random);
    }
    return data;
}

}  // namespace benchdata
