// Builds RIFF/WAVE file images byte by byte: a plain PCM file in one call,
// or any other chunk layout (damaged files included) from its parts.  The
// demo-sound writer, the tests and the benchmarks all build their files
// with it.  Every field is written little-endian, as RIFF stores it.
#pragma once

#include <cstdint>
#include <vector>

namespace velmo::riff {

using Bytes = std::vector<std::uint8_t>;

void PutWord(Bytes& out, std::uint16_t v);
void PutDword(Bytes& out, std::uint32_t v);
// A four-character identifier such as "fmt " (the terminating zero is not
// written).
void PutId(Bytes& out, const char (&id)[5]);
void Append(Bytes& out, const Bytes& more);

// One chunk: identifier, size, data and the pad byte an odd size needs.
// `declaredSize` overrides the size field (for damaged files).
Bytes Chunk(const char (&id)[5], const Bytes& data, std::int64_t declaredSize = -1);

// A RIFF chunk of form type `form` around `body`; its size field counts the
// form type and the body unless `declaredSize` says otherwise.
Bytes Riff(const Bytes& body, const char (&form)[5] = "WAVE", std::int64_t declaredSize = -1);

// The 16 format fields of a "fmt " chunk, with the byte rate and block
// alignment worked out from the other fields.
Bytes FormatFields(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits);

// A 16-byte PCM "fmt " chunk.
Bytes PcmFmt(std::uint16_t channels = 2, std::uint32_t rate = 44100, std::uint16_t bits = 16);

// A plain PCM file: RIFF, "fmt " and "data".
Bytes PcmWave(const Bytes& samples, std::uint16_t channels = 2, std::uint32_t rate = 44100,
              std::uint16_t bits = 16);

// The 44 bytes of a plain PCM file that come before its `dataBytes` sample
// bytes, for a writer that streams the samples after it instead of holding
// them in memory.  The RIFF size counts the pad byte an odd `dataBytes`
// needs; the writer appends that byte after the samples.
Bytes PcmWaveHeader(std::uint32_t dataBytes, std::uint16_t channels = 2, std::uint32_t rate = 44100,
                    std::uint16_t bits = 16);

}  // namespace velmo::riff
