// The version query between a setup and the running product: the client
// sends the bytes 07 30 00 00; the product answers with its version number
// (4 bytes, little-endian), the text's length (4 bytes) and the text without
// terminator.
#pragma once

#include <cstdint>

constexpr uint32_t SAMPLE_REQUEST_VERSION = 0x00003007;
// A setup receives the text into 256 bytes that must stay zero-terminated.
constexpr uint32_t SAMPLE_MAX_VERSION_TEXT = 255;
