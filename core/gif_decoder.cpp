#include "core/gif_decoder.h"

#include <sstream>

namespace {

constexpr int maxCodeWidth = 12;
constexpr int maxDictionaryEntries = 1 << maxCodeWidth;
constexpr int minMinimumCodeSize = 2;
constexpr int maxMinimumCodeSize = maxCodeWidth - 1;

constexpr uint8_t extensionIntroducer = 0x21;
constexpr uint8_t imageSeparator = 0x2C;
constexpr uint8_t trailer = 0x3B;

std::string invalidTypeText(uint8_t byte) {
  std::ostringstream text;
  text << "invalid extension type ID \"0x" << std::hex << std::uppercase << int(byte) << "\" found";
  return text.str();
}

std::string truncatedText(long offset) {
  return "file ends at byte " + std::to_string(offset) + " before the trailer 0x3B";
}

int littleEndian16(const uint8_t* bytes) { return bytes[0] | (bytes[1] << 8); }

} // namespace

GifDecoder::GifDecoder() { dictionary.reserve(maxDictionaryEntries); }

uint8_t GifDecoder::readByte() {
  const int byte = input->get();
  if (byte == std::char_traits<char>::eof()) throw truncatedText(offset);
  ++offset;
  return static_cast<uint8_t>(byte);
}

void GifDecoder::readBytes(uint8_t* target, int count) {
  input->read(reinterpret_cast<char*>(target), count);
  offset += input->gcount();
  if (input->gcount() != count) throw truncatedText(offset);
}

void GifDecoder::skipBytes(int count) {
  while (count > 0) {
    const int chunk = count < 255 ? count : 255;
    readBytes(subBlock, chunk);
    count -= chunk;
  }
}

void GifDecoder::skipSubBlocks() {
  for (uint8_t length = readByte(); length != 0; length = readByte()) skipBytes(length);
}

uint8_t GifDecoder::readLogicalScreen(int& width, int& height) {
  uint8_t header[6];
  uint8_t screen[7];
  readBytes(header, 6);
  readBytes(screen, 7);
  width = littleEndian16(screen);
  height = littleEndian16(screen + 2);
  if (width == 0 || height == 0)
    throw "empty logical screen of " + std::to_string(width) + " x " + std::to_string(height) +
        " pixels";
  return screen[4];
}

void GifDecoder::readScreenSize(std::istream& in, int& width, int& height) {
  input = &in;
  offset = 0;
  readLogicalScreen(width, height);
}

void GifDecoder::skipColourTable(uint8_t packedFields) {
  // Values come from the colour indices, never from the colours.
  skipBytes(3 << ((packedFields & 0x07) + 1));
}

void GifDecoder::decode(std::istream& in, GifIndexImage& image) {
  input = &in;
  offset = 0;
  int width = 0;
  int height = 0;
  const uint8_t packedFields = readLogicalScreen(width, height);
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 255);
  if (packedFields & 0x80) skipColourTable(packedFields);

  for (uint8_t introducer = readByte(); introducer != trailer; introducer = readByte()) {
    if (introducer == extensionIntroducer)
      readExtension();
    else if (introducer == imageSeparator)
      readImage(image);
    else
      throw invalidTypeText(introducer);
  }
}

void GifDecoder::readExtension() {
  const uint8_t label = readByte();
  switch (label) {
  case 0x01: // plain text: a fixed block, then its text in sub-blocks
    skipBytes(readByte());
    skipSubBlocks();
    break;
  case 0xF9: { // graphic control
    const uint8_t length = readByte();
    skipBytes(length);
    if (readByte() != 0)
      throw "Graphics COntrol extension found, but block end not found as 0x00 after " +
          std::to_string(length) + " bytes\n";
    break;
  }
  case 0xFE: // comment
  case 0xFF: // application
    skipSubBlocks();
    break;
  default:
    throw invalidTypeText(label);
  }
}

void GifDecoder::readImage(GifIndexImage& image) {
  // Position and size of the image are not used: every image fills the
  // logical screen row after row, interlaced or not.
  uint8_t descriptor[9];
  readBytes(descriptor, 9);
  if (descriptor[8] & 0x80) skipColourTable(descriptor[8]);
  nextPixel = 0;
  decodeImageData(image);
}

void GifDecoder::resetDictionary() {
  // resize() within the reserved capacity keeps the storage across clear codes.
  dictionary.resize(static_cast<size_t>(endCode) + 1);
  for (int code = 0; code <= endCode; ++code)
    dictionary[code] = LzwEntry{-1, static_cast<uint8_t>(code), static_cast<uint8_t>(code), 1};
  codeWidth = initialWidth;
  previousCode = -1;
}

void GifDecoder::decodeImageData(GifIndexImage& image) {
  const int minimumCodeSize = readByte();
  if (minimumCodeSize < minMinimumCodeSize || minimumCodeSize > maxMinimumCodeSize)
    throw "LZW minimum code size " + std::to_string(minimumCodeSize) + " outside " +
        std::to_string(minMinimumCodeSize) + ".." + std::to_string(maxMinimumCodeSize);
  clearCode = 1 << minimumCodeSize;
  endCode = clearCode + 1;
  initialWidth = minimumCodeSize + 1;
  resetDictionary();

  uint64_t bits = 0;
  int bitCount = 0;
  bool ended = false;
  for (uint8_t length = readByte(); length != 0; length = readByte()) {
    readBytes(subBlock, length);
    // After the end code only the rest of the sub-blocks is skipped.
    for (int i = 0; i < length && !ended; ++i) {
      bits |= uint64_t(subBlock[i]) << bitCount;
      bitCount += 8;
      while (bitCount >= codeWidth) {
        const int code = static_cast<int>(bits & ((uint64_t(1) << codeWidth) - 1));
        bits >>= codeWidth;
        bitCount -= codeWidth;
        if (code == clearCode) {
          resetDictionary();
        } else if (code == endCode) {
          ended = true;
          break;
        } else {
          takeCode(code, image);
        }
      }
    }
  }
}

void GifDecoder::takeCode(int code, GifIndexImage& image) {
  const int size = static_cast<int>(dictionary.size());
  if (code > size || (code == size && previousCode < 0))
    throw "LZW code " + std::to_string(code) + " not in the dictionary of " + std::to_string(size) +
        " entries";
  // Roots above 255 exist only for minimum code sizes above 8; they have no
  // colour index.
  if (code < clearCode && code > 255) throw "pixel value " + std::to_string(code) + " above 255";
  if (previousCode < 0) {
    writeString(code, image);
  } else if (code < size) {
    writeString(code, image);
    addEntry(previousCode, dictionary[code].firstPixel);
  } else {
    addEntry(previousCode, dictionary[previousCode].firstPixel);
    writeString(code, image);
  }
  previousCode = code;
}

void GifDecoder::addEntry(int prefix, uint8_t pixel) {
  // A full table is kept as it is until the next clear code.
  if (dictionary.size() >= static_cast<size_t>(maxDictionaryEntries)) return;
  const LzwEntry& head = dictionary[prefix];
  dictionary.push_back(
      LzwEntry{prefix, pixel, head.firstPixel, static_cast<uint16_t>(head.length + 1)});
  if (dictionary.size() == (size_t(1) << codeWidth) && codeWidth < maxCodeWidth) ++codeWidth;
}

void GifDecoder::writeString(int code, GifIndexImage& image) {
  const long length = dictionary[code].length;
  if (nextPixel + length > static_cast<long>(image.pixels.size()))
    throw "pixel data beyond the " + std::to_string(image.width) + " x " +
        std::to_string(image.height) + " pixels of the logical screen";
  // The chain runs from the last pixel back to the first.
  uint8_t* last = image.pixels.data() + nextPixel + length - 1;
  for (int entry = code; entry >= 0; entry = dictionary[entry].prefix)
    *last-- = dictionary[entry].pixel;
  nextPixel += length;
}
