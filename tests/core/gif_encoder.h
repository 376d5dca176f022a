#pragma once

// A minimal GIF writer for test fixtures: LZW with variable code width as in
// GIF89a (the width grows when the next code reaches 2^width, up to 12 bits;
// a full table is kept until a clear code), data sub-blocks and the blocks
// around them.

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace gif_test {

struct LzwOptions {
  int minimumCodeSize = 8;
  bool initialClear = true;
  long clearAfter = 0; // a clear code after this many pixels since the last one; 0: never
};

// What the encoder did, so that a test can check that its fixture really
// exercises what it claims.
struct LzwStatistics {
  int widestCode = 0;
  int clearCodes = 0;
  bool tableFilled = false;
  int widthAtLastClear = 0;
};

inline std::vector<uint8_t> lzwEncode(const std::vector<uint8_t>& pixels, const LzwOptions& options,
                                      LzwStatistics* statistics = nullptr) {
  const int m = options.minimumCodeSize;
  const int clearCode = 1 << m;
  const int endCode = clearCode + 1;
  std::vector<uint8_t> out;
  std::map<std::pair<int, int>, int> table;
  uint64_t bits = 0;
  int bitCount = 0;
  int width = m + 1;
  int next = endCode + 1;
  LzwStatistics stats;

  auto emit = [&](int code) {
    bits |= uint64_t(code) << bitCount;
    bitCount += width;
    if (width > stats.widestCode) stats.widestCode = width;
    while (bitCount >= 8) {
      out.push_back(static_cast<uint8_t>(bits & 0xFF));
      bits >>= 8;
      bitCount -= 8;
    }
  };
  auto emitClear = [&] {
    emit(clearCode);
    ++stats.clearCodes;
    stats.widthAtLastClear = width;
    table.clear();
    next = endCode + 1;
    width = m + 1;
  };
  // After a data code the decoder holds `next` entries; it widens at 2^width.
  auto emitData = [&](int code) {
    emit(code);
    if (next == (1 << width) && width < 12) ++width;
  };

  if (options.initialClear) emitClear();
  int current = -1;
  long sinceClear = 0;
  for (uint8_t pixel : pixels) {
    if (current < 0) {
      current = pixel;
      sinceClear = 1;
      continue;
    }
    auto found = table.find({current, pixel});
    if (found != table.end()) {
      current = found->second;
      ++sinceClear;
      continue;
    }
    emitData(current);
    if (options.clearAfter > 0 && sinceClear >= options.clearAfter) {
      emitClear();
      current = pixel;
      sinceClear = 1;
      continue;
    }
    if (next < 4096)
      table[{current, pixel}] = next++;
    else
      stats.tableFilled = true;
    current = pixel;
    ++sinceClear;
  }
  if (current >= 0) emitData(current);
  emit(endCode);
  if (bitCount > 0) out.push_back(static_cast<uint8_t>(bits & 0xFF));
  if (statistics) *statistics = stats;
  return out;
}

// Builds a GIF file block by block.
class GifWriter {
public:
  // tableBits < 0: no global colour table; else 2^(tableBits + 1) entries.
  GifWriter(int width, int height, int tableBits) {
    bytes += "GIF89a";
    word(width);
    word(height);
    bytes += static_cast<char>(tableBits < 0 ? 0 : 0x80 | tableBits);
    bytes += '\0';
    bytes += '\0';
    if (tableBits >= 0) colourTable(tableBits);
  }

  GifWriter& image(int width, int height, const std::vector<uint8_t>& codeStream,
                   int minimumCodeSize, int localTableBits = -1, bool interlaced = false) {
    bytes += '\x2C';
    word(0);
    word(0);
    word(width);
    word(height);
    int packed = interlaced ? 0x40 : 0;
    if (localTableBits >= 0) packed |= 0x80 | localTableBits;
    bytes += static_cast<char>(packed);
    if (localTableBits >= 0) colourTable(localTableBits);
    bytes += static_cast<char>(minimumCodeSize);
    subBlocks(std::string(codeStream.begin(), codeStream.end()));
    return *this;
  }
  GifWriter& comment(const std::string& text) {
    bytes += "\x21\xFE";
    subBlocks(text);
    return *this;
  }
  GifWriter& application() {
    bytes += "\x21\xFF";
    subBlocks("NETSCAPE2.0");
    return *this;
  }
  GifWriter& graphicControl() {
    bytes += std::string("\x21\xF9\x04\x00\x0A\x00\x00\x00", 8);
    return *this;
  }
  GifWriter& plainText(const std::string& text) {
    bytes += "\x21\x01";
    bytes += static_cast<char>(12);
    bytes += std::string(12, '\x01');
    subBlocks(text);
    return *this;
  }
  GifWriter& raw(const std::string& text) {
    bytes += text;
    return *this;
  }
  std::string trailer() const { return bytes + '\x3B'; }
  const std::string& withoutTrailer() const { return bytes; }

private:
  void word(int value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>((value >> 8) & 0xFF);
  }
  void colourTable(int bits) {
    for (int i = 0; i < (1 << (bits + 1)); ++i) bytes += std::string(3, static_cast<char>(i));
  }
  // Data cut into sub-blocks of at most 255 bytes, ended by a zero length.
  void subBlocks(const std::string& data) {
    for (size_t start = 0; start < data.size(); start += 255) {
      const size_t length = std::min<size_t>(255, data.size() - start);
      bytes += static_cast<char>(length);
      bytes += data.substr(start, length);
    }
    bytes += '\0';
  }

  std::string bytes;
};

} // namespace gif_test
