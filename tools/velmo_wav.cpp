// velmo-wav: shows what the library's WAVE reader makes of a file, for a
// person whose file will not load.
//
//   velmo-wav info [--json] FILE...
//
// For each file it runs the reader's open, data search and whole-file read,
// and prints their results, the format fields, the data chunk, the file's
// chunk list, a CRC-32 of the sample bytes and whether the sample program
// could use the file as an effect and as music.  Exit status: 0 when every
// file was read whole, 1 when any was not, 2 on a usage error.
#include <zlib.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "velmo/platform/dsound.h"
#include "velmo/platform/heap.h"
#include "velmo/platform/mmio.h"
#include "velmo/platform/wave_format.h"
#include "velmo/sound/wave_reader.h"

namespace velmo {
namespace {

// At most this many chunks are listed; a damaged file can hold millions of
// empty chunk headers.
constexpr std::size_t kMaxListedChunks = 1000;

struct ChunkEntry {
  FOURCC id = 0;
  DWORD offset = 0;  // of the chunk header
  DWORD size = 0;
  std::optional<FOURCC> form;  // for "RIFF" and "LIST"
  bool pastEnd = false;        // its data runs past the end of the file
};

struct Verdict {
  bool ok = false;
  std::string reason;  // why not, when not
};

struct FileReport {
  std::string file;
  DWORD openResult = 0;
  std::optional<WAVEFORMATEX> format;
  std::vector<BYTE> extraFormatBytes;
  std::optional<DWORD> findResult;  // absent when the open failed
  std::optional<DWORD> dataBytes;
  std::optional<DWORD> dataOffset;
  DWORD wholeResult = 0;
  std::optional<std::uint32_t> crc;
  std::vector<ChunkEntry> chunks;
  bool chunksCut = false;
  std::optional<LONG> fileBytes;
  Verdict effect;
  Verdict music;
};

std::string ResultName(DWORD result) {
  const char* name = WaveResultName(result);
  return name != nullptr ? name : "unknown";
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Lists the RIFF chunk and its direct subchunks (or, for a file that is not
// RIFF, its first chunk header) by walking them with the file layer.
void ListChunks(FileReport& report) {
  HMMIO file = mmioOpenA(report.file.c_str(), nullptr, MMIO_ALLOCBUF);
  if (file == nullptr) return;
  const LONG end = mmioSeek(file, 0, MMIO_SEEK_END);
  if (end != -1) report.fileBytes = end;
  mmioSeek(file, 0, MMIO_SEEK_SET);

  auto entry = [&](const MMCKINFO& ck) {
    ChunkEntry e;
    e.id = ck.ckid;
    e.offset = ck.dwDataOffset - 8;
    e.size = ck.cksize;
    if (ck.ckid == FOURCC_RIFF || ck.ckid == FOURCC_LIST) e.form = ck.fccType;
    e.pastEnd = end != -1 && static_cast<std::int64_t>(ck.dwDataOffset) + ck.cksize > end;
    return e;
  };

  MMCKINFO riff{};
  if (mmioDescend(file, &riff, nullptr, 0) == MMSYSERR_NOERROR) {
    report.chunks.push_back(entry(riff));
    if (riff.ckid == FOURCC_RIFF) {
      MMCKINFO ck{};
      while (mmioDescend(file, &ck, &riff, 0) == MMSYSERR_NOERROR) {
        if (report.chunks.size() > kMaxListedChunks) {
          report.chunksCut = true;
          break;
        }
        report.chunks.push_back(entry(ck));
        if (mmioAscend(file, &ck, 0) != MMSYSERR_NOERROR) break;
      }
    }
  }
  mmioClose(file, 0);
}

// Whether the sample program's two ways of loading would take the file, as
// far as the reader's results and the device's buffer size limits tell.
void Judge(FileReport& r) {
  const bool pcm = r.format && r.format->wFormatTag == WAVE_FORMAT_PCM;
  std::string notPcm;
  if (r.format) {
    notPcm = "not PCM (format tag " + std::to_string(r.format->wFormatTag) + ")";
    // An extensible format names its real tag in the first two bytes of the
    // sub-format identifier, 6 bytes into the extra bytes.  Writers use it
    // for PCM of more than 16 bits, which the sample program still refuses.
    if (r.format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && r.extraFormatBytes.size() >= 22) {
      const unsigned sub = r.extraFormatBytes[6] | (r.extraFormatBytes[7] << 8);
      notPcm = "not PCM (format tag 65534, WAVE_FORMAT_EXTENSIBLE with sub-format " + std::to_string(sub) +
               (sub == WAVE_FORMAT_PCM ? ", PCM samples" : "") + "; the sample program needs tag 1)";
    }
  }

  if (r.wholeResult != 0) {
    r.effect.reason = "ReadWholeWave failed with " + ResultName(r.wholeResult);
  } else if (!pcm) {
    r.effect.reason = notPcm;
  } else if (r.dataBytes.value_or(0) < DSBSIZE_MIN || r.dataBytes.value_or(0) > DSBSIZE_MAX) {
    r.effect.reason = "a data chunk of " + std::to_string(r.dataBytes.value_or(0)) + " bytes is outside the device's buffer sizes (" +
                      std::to_string(DSBSIZE_MIN) + " to " + std::to_string(DSBSIZE_MAX) + ")";
  } else {
    r.effect.ok = true;
  }

  if (r.openResult != 0) {
    r.music.reason = "WaveReaderOpen failed with " + ResultName(r.openResult);
  } else if (!pcm) {
    r.music.reason = notPcm;
  } else if (r.findResult.value_or(1) != 0) {
    r.music.reason = "no data chunk (" + ResultName(*r.findResult) + ")";
  } else {
    // The stream's buffer holds 1.2 s, computed in 32-bit arithmetic.
    const DWORD bytes = static_cast<DWORD>(r.format->nAvgBytesPerSec * 120u) / 100u;
    if (bytes < DSBSIZE_MIN || bytes > DSBSIZE_MAX) {
      r.music.reason = "a stream buffer of " + std::to_string(bytes) + " bytes (from nAvgBytesPerSec " +
                       std::to_string(r.format->nAvgBytesPerSec) + ") is outside the device's buffer sizes";
    } else {
      r.music.ok = true;
    }
  }
}

FileReport Inspect(const std::string& name) {
  FileReport r;
  r.file = name;

  HMMIO file = nullptr;
  WAVEFORMATEX* format = nullptr;
  MMCKINFO riff{};
  r.openResult = WaveReaderOpen(name.c_str(), &file, &format, &riff);
  if (r.openResult == 0) {
    r.format = *format;
    const BYTE* extra = reinterpret_cast<const BYTE*>(format) + sizeof(WAVEFORMATEX);
    r.extraFormatBytes.assign(extra, extra + format->cbSize);
    MMCKINFO data{};
    r.findResult = WaveReaderFindData(file, &data, &riff);
    if (*r.findResult == 0) {
      r.dataBytes = data.cksize;
      r.dataOffset = data.dwDataOffset;
    }
  }
  WaveReaderClose(&file, &format);

  DWORD size = 0;
  BYTE* samples = nullptr;
  r.wholeResult = ReadWholeWave(name.c_str(), &size, &format, &samples);
  if (r.wholeResult == 0) {
    r.crc = static_cast<std::uint32_t>(crc32_z(crc32_z(0L, Z_NULL, 0), samples, size));
    GlobalFree(format);
    if (samples != nullptr) GlobalFree(samples);
  }

  ListChunks(r);
  Judge(r);
  return r;
}

// --- Text output ---

std::string ChunkIdText(FOURCC id) {
  std::string out;
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(id >> (8 * i));
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  return out;
}

std::string ResultText(DWORD result) {
  return std::to_string(result) + " (" + Hex(result, 4) + ") " + ResultName(result);
}

void PrintText(const FileReport& r, std::ostream& out) {
  out << r.file << "\n";
  out << "  WaveReaderOpen      " << ResultText(r.openResult) << "\n";
  if (r.format) {
    const WAVEFORMATEX& f = *r.format;
    out << "  format              tag " << f.wFormatTag << (f.wFormatTag == WAVE_FORMAT_PCM ? " (PCM)" : "") << ", "
        << f.nChannels << (f.nChannels == 1 ? " channel, " : " channels, ") << f.nSamplesPerSec << " Hz, " << f.nAvgBytesPerSec << " bytes/s, block align "
        << f.nBlockAlign << ", " << f.wBitsPerSample << " bits, cbSize " << f.cbSize << "\n";
  }
  if (r.findResult) out << "  WaveReaderFindData  " << ResultText(*r.findResult) << "\n";
  if (r.dataBytes) out << "  data                " << *r.dataBytes << " bytes at offset " << *r.dataOffset << "\n";
  out << "  ReadWholeWave       " << ResultText(r.wholeResult) << "\n";
  if (r.crc) out << "  data CRC-32         " << Hex(*r.crc, 8) << "\n";
  if (r.fileBytes) out << "  file size           " << *r.fileBytes << " bytes\n";
  out << "  chunks" << (r.chunks.empty() ? "              none readable" : "") << "\n";
  for (const ChunkEntry& c : r.chunks) {
    out << "    offset " << c.offset << "  \"" << ChunkIdText(c.id) << "\"  size " << c.size;
    if (c.form) out << "  form \"" << ChunkIdText(*c.form) << "\"";
    if (c.pastEnd) out << "  (runs past the end of the file)";
    out << "\n";
  }
  if (r.chunksCut) out << "    ... (more than " << kMaxListedChunks << " chunks; the rest are not listed)\n";
  out << "  as an effect        " << (r.effect.ok ? "yes" : "no: " + r.effect.reason) << "\n";
  out << "  as music            " << (r.music.ok ? "yes" : "no: " + r.music.reason) << "\n";
}

// --- JSON output ---

// Appends `text` as a JSON string.  Valid UTF-8 passes through; control
// characters are escaped and bytes that are not UTF-8 become U+FFFD, so the
// line is always valid JSON whatever bytes a file name holds.
void JsonString(std::string& out, const std::string& text) {
  out += '"';
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // Length and lowest code point of the sequence a lead byte starts.
      std::size_t len = 0;
      std::uint32_t min = 0;
      std::uint32_t cp = 0;
      if (c >= 0xC2 && c <= 0xDF) { len = 2; min = 0x80; cp = c & 0x1F; }
      else if (c >= 0xE0 && c <= 0xEF) { len = 3; min = 0x800; cp = c & 0x0F; }
      else if (c >= 0xF0 && c <= 0xF4) { len = 4; min = 0x10000; cp = c & 0x07; }
      bool valid = len != 0 && i + len <= n;
      for (std::size_t k = 1; valid && k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) valid = false;
        else cp = (cp << 6) | (s[i + k] & 0x3F);
      }
      valid = valid && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
      if (valid) {
        out.append(text, i, len);
        i += len;
      } else {
        out += "\\ufffd";
        ++i;
      }
    }
  }
  out += '"';
}

// A chunk identifier as a JSON string: printable ASCII as it is, other bytes
// as \u00XX, so four bytes always give four characters.
void JsonChunkId(std::string& out, FOURCC id) {
  out += '"';
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(id >> (8 * i));
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    }
  }
  out += '"';
}

class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
  void Key(const char* key) {
    if (!first_) out_ += ',';
    first_ = false;
    JsonString(out_, key);
    out_ += ':';
  }
  void Number(const char* key, std::uint64_t value) {
    Key(key);
    out_ += std::to_string(value);
  }
  void Number(const char* key, const std::optional<DWORD>& value) {
    Key(key);
    out_ += value ? std::to_string(*value) : "null";
  }
  void String(const char* key, const std::string& value) {
    Key(key);
    JsonString(out_, value);
  }
  void Bool(const char* key, bool value) {
    Key(key);
    out_ += value ? "true" : "false";
  }
  void Null(const char* key) {
    Key(key);
    out_ += "null";
  }
  void Close() { out_ += '}'; }

 private:
  std::string& out_;
  bool first_ = true;
};

std::string JsonLine(const FileReport& r) {
  std::string out;
  JsonObject o(out);
  o.String("file", r.file);
  o.Number("result", r.wholeResult);
  o.String("result_name", ResultName(r.wholeResult));
  o.Number("open_result", r.openResult);
  o.String("open_result_name", ResultName(r.openResult));
  if (r.findResult) {
    o.Number("find_data_result", *r.findResult);
    o.String("find_data_result_name", ResultName(*r.findResult));
  } else {
    o.Null("find_data_result");
    o.Null("find_data_result_name");
  }
  auto field = [&](const char* key, auto member) {
    o.Number(key, r.format ? std::optional<DWORD>(static_cast<DWORD>(member(*r.format))) : std::nullopt);
  };
  field("format_tag", [](const WAVEFORMATEX& f) { return f.wFormatTag; });
  field("channels", [](const WAVEFORMATEX& f) { return f.nChannels; });
  field("sample_rate", [](const WAVEFORMATEX& f) { return f.nSamplesPerSec; });
  field("avg_bytes_per_sec", [](const WAVEFORMATEX& f) { return f.nAvgBytesPerSec; });
  field("block_align", [](const WAVEFORMATEX& f) { return f.nBlockAlign; });
  field("bits_per_sample", [](const WAVEFORMATEX& f) { return f.wBitsPerSample; });
  field("cb_size", [](const WAVEFORMATEX& f) { return f.cbSize; });
  o.Number("data_bytes", r.dataBytes);
  o.Number("data_offset", r.dataOffset);
  o.Number("data_crc32", r.crc ? std::optional<DWORD>(*r.crc) : std::nullopt);
  o.Number("file_bytes", r.fileBytes ? std::optional<DWORD>(static_cast<DWORD>(*r.fileBytes)) : std::nullopt);

  o.Key("chunks");
  out += '[';
  for (std::size_t i = 0; i < r.chunks.size(); ++i) {
    const ChunkEntry& c = r.chunks[i];
    if (i > 0) out += ',';
    JsonObject chunk(out);
    chunk.Key("id");
    JsonChunkId(out, c.id);
    chunk.Number("offset", c.offset);
    chunk.Number("size", c.size);
    if (c.form) {
      chunk.Key("form");
      JsonChunkId(out, *c.form);
    }
    chunk.Bool("past_end", c.pastEnd);
    chunk.Close();
  }
  out += ']';
  o.Bool("chunks_cut", r.chunksCut);

  o.Bool("loads_as_effect", r.effect.ok);
  if (r.effect.ok) o.Null("effect_reason");
  else o.String("effect_reason", r.effect.reason);
  o.Bool("loads_as_music", r.music.ok);
  if (r.music.ok) o.Null("music_reason");
  else o.String("music_reason", r.music.reason);
  o.Close();
  return out;
}

}  // namespace
}  // namespace velmo

int main(int argc, char** argv) {
  CLI::App app{
      "Shows what the Velmo Sound WAVE reader makes of WAVE files: the results of opening the file, finding its "
      "data and reading it whole, its format fields, data chunk, chunk list and the CRC-32 of its samples, and "
      "whether the sample program could load it as an effect and as music (PCM, format tag 1).\n\n"
      "Exit status: 0 when every file was read whole, 1 when any was not, 2 on a usage error.",
      "velmo-wav"};
  app.require_subcommand(1);

  bool json = false;
  std::vector<std::string> files;
  CLI::App* info = app.add_subcommand("info", "Inspect each FILE with the WAVE reader");
  info->add_flag("--json", json,
                 "One JSON object per file per line. Keys: file, result (of ReadWholeWave) and result_name, "
                 "open_result, find_data_result, format_tag, channels, sample_rate, avg_bytes_per_sec, "
                 "block_align, bits_per_sample, cb_size, data_bytes, data_offset, data_crc32 (a number), "
                 "file_bytes, chunks, loads_as_effect, loads_as_music and their reasons; null where the reader "
                 "did not get that far");
  info->add_option("FILE", files, "WAVE files to inspect")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);  // prints the help, or the error and a hint
    return code == 0 ? 0 : 2;
  }

  bool allRead = true;
  for (const std::string& name : files) {
    const velmo::FileReport report = velmo::Inspect(name);
    if (report.wholeResult != 0) allRead = false;
    if (json) {
      std::cout << velmo::JsonLine(report) << "\n";
    } else {
      velmo::PrintText(report, std::cout);
    }
  }
  std::cout.flush();
  return allRead ? 0 : 1;
}
