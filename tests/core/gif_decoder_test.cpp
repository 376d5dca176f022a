#include <gtest/gtest.h>

#include <sstream>

#include "core/gif_decoder.h"
#include "tests/core/gif_encoder.h"

using gif_test::GifWriter;
using gif_test::lzwEncode;
using gif_test::LzwOptions;
using gif_test::LzwStatistics;

namespace {

GifIndexImage decodeBytes(const std::string& bytes) {
  std::istringstream in(bytes);
  GifDecoder decoder;
  GifIndexImage image;
  decoder.decode(in, image);
  return image;
}

// The thrown text of a decoding that must fail; "" when it succeeds.
std::string decodingError(const std::string& bytes) {
  try {
    decodeBytes(bytes);
  } catch (const std::string& text) {
    return text;
  }
  return "";
}

// Deterministic pixels with runs and noise, so that LZW builds long strings
// and fills its table.
std::vector<uint8_t> patternPixels(long count, int values) {
  std::vector<uint8_t> pixels(count);
  uint32_t state = 12345;
  for (long i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345u;
    pixels[i] = (i / 7) % 3 == 0 ? static_cast<uint8_t>((i / 40) % values)
                                 : static_cast<uint8_t>((state >> 16) % values);
  }
  return pixels;
}

// Packs codes of the given widths least significant bit first.
std::vector<uint8_t> packCodes(const std::vector<std::pair<int, int>>& codes) {
  std::vector<uint8_t> out;
  uint64_t bits = 0;
  int count = 0;
  for (const auto& [code, width] : codes) {
    bits |= uint64_t(code) << count;
    count += width;
    while (count >= 8) {
      out.push_back(static_cast<uint8_t>(bits & 0xFF));
      bits >>= 8;
      count -= 8;
    }
  }
  if (count > 0) out.push_back(static_cast<uint8_t>(bits));
  return out;
}

std::string singleImage(int width, int height, const std::vector<uint8_t>& pixels,
                        const LzwOptions& options, int tableBits, LzwStatistics* stats = nullptr) {
  return GifWriter(width, height, tableBits)
      .image(width, height, lzwEncode(pixels, options, stats), options.minimumCodeSize)
      .trailer();
}

} // namespace

TEST(GifDecoder, DecodesImagesOfEveryCodeSize) {
  struct Case {
    const char* name;
    int width;
    int height;
    int tableBits;
    LzwOptions options;
    std::vector<uint8_t> pixels;
  };
  const std::vector<Case> cases = {
      {"2 x 2, 256 colours", 2, 2, 7, {8, true, 0}, {0, 1, 255, 254}},
      {"4 colours, clear code 4", 4, 3, 1, {2, true, 0}, {0, 1, 2, 3, 3, 3, 3, 0, 1, 0, 1, 2}},
      {"no leading clear code", 5, 2, 3, {4, false, 0}, {9, 9, 9, 9, 9, 1, 2, 1, 2, 1}},
      {"one pixel", 1, 1, 7, {8, true, 0}, {77}},
      {"long runs", 64, 64, 1, {2, true, 0}, std::vector<uint8_t>(64 * 64, 3)},
      {"code size 11", 3, 2, -1, {11, true, 0}, {255, 0, 128, 128, 128, 0}},
  };
  for (const Case& c : cases) {
    LzwStatistics stats;
    const GifIndexImage image =
        decodeBytes(singleImage(c.width, c.height, c.pixels, c.options, c.tableBits, &stats));
    EXPECT_EQ(image.width, c.width) << c.name;
    EXPECT_EQ(image.height, c.height) << c.name;
    EXPECT_EQ(image.pixels, c.pixels) << c.name;
  }
}

TEST(GifDecoder, DecodesAForeignEncoding) {
  // A 10 x 10 image written by another encoder; the expected pixels are what
  // an independent decoder (GDAL) reads from these bytes.
  const unsigned char bytes[] = {
      0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x0A, 0x00, 0x0A, 0x00, 0x91, 0x00, 0x00, 0xFF,
      0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0A, 0x00,
      0x00, 0x02, 0x16, 0x8C, 0x2D, 0x99, 0x87, 0x2A, 0x1C, 0xDC, 0x33, 0xA0, 0x02, 0x75,
      0xEC, 0x95, 0xFA, 0xA8, 0xDE, 0x60, 0x8C, 0x04, 0x91, 0x4C, 0x01, 0x00, 0x3B};
  const char* rows[] = {"1111122222", "1111122222", "1111122222", "1110000222", "1110000222",
                        "2220000111", "2220000111", "2222211111", "2222211111", "2222211111"};
  const GifIndexImage image =
      decodeBytes(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
  ASSERT_EQ(image.pixels.size(), 100u);
  for (int r = 0; r < 10; ++r)
    for (int c = 0; c < 10; ++c)
      EXPECT_EQ(image.pixels[r * 10 + c], rows[r][c] - '0') << "row " << r << " column " << c;
}

TEST(GifDecoder, CodeWidthGrowsTo12BitsAndClearCodesResetIt) {
  struct Case {
    const char* name;
    int width;
    int height;
    LzwOptions options;
    int values;
    bool filled;
    int clearCodes;
  };
  const std::vector<Case> cases = {
      // More than 4096 pixels and no clear code at all: the table fills up
      // and the codes stay at 12 bits.
      {"no clear codes", 120, 100, {8, false, 0}, 256, true, 0},
      // A clear code halfway, after the codes have widened.
      {"clear in the middle", 90, 40, {4, true, 1800}, 16, false, 2},
      // Clear codes after a full table, as encoders that clear late write them.
      {"clear after a full table", 150, 100, {8, true, 7000}, 256, true, 3},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> pixels = patternPixels(long(c.width) * c.height, c.values);
    LzwStatistics stats;
    const std::string bytes = singleImage(c.width, c.height, pixels, c.options, 7, &stats);
    EXPECT_EQ(stats.tableFilled, c.filled) << c.name;
    EXPECT_EQ(stats.clearCodes, c.clearCodes) << c.name;
    if (c.clearCodes > 1) {
      EXPECT_GT(stats.widthAtLastClear, c.options.minimumCodeSize + 1) << c.name;
    }
    if (c.filled) {
      EXPECT_EQ(stats.widestCode, 12) << c.name;
    }
    EXPECT_EQ(decodeBytes(bytes).pixels, pixels) << c.name;
  }
}

TEST(GifDecoder, SkipsExtensionsAndPlacesEveryImageFromTheTopLeft) {
  const std::vector<uint8_t> first = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::vector<uint8_t> second = {200, 201, 202, 203, 204};
  const LzwOptions eight{8, true, 0};
  const std::string bytes = GifWriter(4, 3, 1)
                                .comment("made for a test")
                                .application()
                                .graphicControl()
                                .plainText("text")
                                .image(4, 3, lzwEncode(first, eight), 8, 7, true)
                                .comment(std::string(300, 'c'))
                                .graphicControl()
                                .image(2, 2, lzwEncode(second, eight), 8)
                                .plainText("")
                                .trailer();
  const std::vector<uint8_t> expected = {200, 201, 202, 203, 204, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(decodeBytes(bytes).pixels, expected);

  // Pixels that no image reaches have no data.
  const std::string partial =
      GifWriter(3, 2, -1).image(3, 1, lzwEncode({5, 6}, eight), 8).trailer();
  EXPECT_EQ(decodeBytes(partial).pixels, (std::vector<uint8_t>{5, 6, 255, 255, 255, 255}));
}

TEST(GifDecoder, RejectsMalformedInputWithItsText) {
  const GifWriter screen(2, 2, -1);
  auto image = [&](int minimumCodeSize, const std::vector<std::pair<int, int>>& codes) {
    return GifWriter(2, 2, -1).image(2, 2, packCodes(codes), minimumCodeSize).trailer();
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"bad block label", screen.withoutTrailer() + "\x99",
       "invalid extension type ID \"0x99\" found"},
      {"image separator as extension label", screen.withoutTrailer() + "\x21\x2C",
       "invalid extension type ID \"0x2C\" found"},
      {"graphic control without its terminator",
       screen.withoutTrailer() + std::string("\x21\xF9\x04\x00\x00\x00\x00\x07", 8),
       "Graphics COntrol extension found, but block end not found as 0x00 after 4 bytes\n"},
      {"minimum code size 1", image(1, {{2, 2}, {0, 2}, {3, 2}}),
       "LZW minimum code size 1 outside 2..11"},
      {"minimum code size 12", image(12, {{4096, 13}}), "LZW minimum code size 12 outside 2..11"},
      {"code beyond the dictionary", image(2, {{4, 3}, {1, 3}, {7, 3}}),
       "LZW code 7 not in the dictionary of 6 entries"},
      {"next code without a previous one", image(2, {{4, 3}, {6, 3}}),
       "LZW code 6 not in the dictionary of 6 entries"},
      {"pixels beyond the screen", image(2, {{4, 3}, {1, 3}, {1, 3}, {6, 3}, {6, 4}}),
       "pixel data beyond the 2 x 2 pixels of the logical screen"},
      {"root without a colour index", image(9, {{512, 10}, {300, 10}}),
       "pixel value 300 above 255"},
      {"empty screen", GifWriter(0, 3, -1).trailer(), "empty logical screen of 0 x 3 pixels"},
  };
  for (const Case& c : cases) EXPECT_EQ(decodingError(c.bytes), c.text) << c.name;

  // Well-formed neighbours of the cases above decode.
  EXPECT_EQ(decodingError(image(2, {{4, 3}, {1, 3}, {1, 3}, {6, 3}, {6, 4}}).replace(8, 1, "\x03")),
            "");
  EXPECT_EQ(decodingError(image(9, {{512, 10}, {200, 10}, {201, 10}, {513, 10}})), "");
  // Whatever follows the end code in its sub-blocks is skipped, even codes
  // that would not be in the dictionary.
  std::vector<uint8_t> ended = packCodes({{4, 3}, {1, 3}, {5, 3}});
  ended.insert(ended.end(), 300, 0xFF);
  EXPECT_EQ(decodeBytes(GifWriter(2, 2, -1).image(2, 2, ended, 2).trailer()).pixels,
            (std::vector<uint8_t>{1, 255, 255, 255}));
}

TEST(GifDecoder, EveryTruncationIsReported) {
  const std::vector<uint8_t> pixels = patternPixels(30 * 20, 16);
  const std::string bytes = GifWriter(30, 20, 3)
                                .comment("c")
                                .graphicControl()
                                .image(30, 20, lzwEncode(pixels, {4, true, 0}), 4, 3)
                                .trailer();
  ASSERT_EQ(decodeBytes(bytes).pixels, pixels);
  for (size_t length = 0; length < bytes.size(); ++length) {
    const std::string text = decodingError(bytes.substr(0, length));
    EXPECT_EQ(text, "file ends at byte " + std::to_string(length) + " before the trailer 0x3B")
        << "cut after " << length << " bytes";
  }
}
