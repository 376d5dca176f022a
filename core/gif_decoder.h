#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// One string of the LZW table: the string of its prefix followed by its last
// pixel. The first pixel and the length are kept so that a string can be
// written back to front along its prefix chain without building it first.
struct LzwEntry {
  int32_t prefix = -1; // -1 for a root entry
  uint8_t pixel = 0;
  uint8_t firstPixel = 0;
  uint16_t length = 1;
};

// The colour indices of a GIF's logical screen, row by row from the top left.
// Pixels that no image reaches keep 255, the index of a cell without data.
struct GifIndexImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// Decodes GIF87a/GIF89a bytes into an index image. The bytes are untrusted:
// every format error, including a stream that ends before the trailer, is
// thrown as a text (std::string); nothing is written outside the image.
class GifDecoder {
public:
  GifDecoder();

  // Reads the header and the logical screen descriptor from the stream's
  // current position.
  void readScreenSize(std::istream& in, int& width, int& height);
  // Reads the whole stream from its current position up to the trailer.
  // Every image starts again at the top left of the logical screen.
  void decode(std::istream& in, GifIndexImage& image);

private:
  uint8_t readByte();
  void readBytes(uint8_t* target, int count);
  void skipBytes(int count);
  void skipSubBlocks();
  // Reads the header and the logical screen descriptor; returns its packed fields.
  uint8_t readLogicalScreen(int& width, int& height);
  void skipColourTable(uint8_t packedFields);
  void readExtension();
  void readImage(GifIndexImage& image);
  void decodeImageData(GifIndexImage& image);
  void resetDictionary();
  void takeCode(int code, GifIndexImage& image);
  void addEntry(int prefix, uint8_t pixel);
  void writeString(int code, GifIndexImage& image);

  std::istream* input = nullptr;
  long offset = 0; // bytes read so far, for the messages
  std::vector<LzwEntry> dictionary;
  uint8_t subBlock[255] = {};

  int clearCode = 0;
  int endCode = 0;
  int initialWidth = 0;
  int codeWidth = 0;
  int previousCode = -1; // -1: the next code is a first code
  long nextPixel = 0;    // position of the next pixel in the current image
};
