#include "tools/riff_builder.h"

namespace velmo::riff {

void PutWord(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutDword(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutId(Bytes& out, const char (&id)[5]) { out.insert(out.end(), id, id + 4); }

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes Chunk(const char (&id)[5], const Bytes& data, std::int64_t declaredSize) {
  Bytes out;
  out.reserve(8 + data.size() + 1);
  PutId(out, id);
  PutDword(out, declaredSize < 0 ? static_cast<std::uint32_t>(data.size()) : static_cast<std::uint32_t>(declaredSize));
  Append(out, data);
  if (data.size() % 2 == 1) out.push_back(0);
  return out;
}

Bytes Riff(const Bytes& body, const char (&form)[5], std::int64_t declaredSize) {
  Bytes out;
  out.reserve(12 + body.size());
  PutId(out, "RIFF");
  PutDword(out, declaredSize < 0 ? static_cast<std::uint32_t>(body.size() + 4) : static_cast<std::uint32_t>(declaredSize));
  PutId(out, form);
  Append(out, body);
  return out;
}

Bytes FormatFields(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  const std::uint16_t align = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
  Bytes out;
  PutWord(out, tag);
  PutWord(out, channels);
  PutDword(out, rate);
  PutDword(out, rate * align);
  PutWord(out, align);
  PutWord(out, bits);
  return out;
}

Bytes PcmFmt(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  return Chunk("fmt ", FormatFields(1, channels, rate, bits));
}

Bytes PcmWave(const Bytes& samples, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  Bytes body = PcmFmt(channels, rate, bits);
  Append(body, Chunk("data", samples));
  return Riff(body);
}

Bytes PcmWaveHeader(std::uint32_t dataBytes, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  Bytes out;
  PutId(out, "RIFF");
  PutDword(out, 4 + 24 + 8 + dataBytes + (dataBytes & 1));
  PutId(out, "WAVE");
  Append(out, PcmFmt(channels, rate, bits));
  PutId(out, "data");
  PutDword(out, dataBytes);
  return out;
}

}  // namespace velmo::riff
