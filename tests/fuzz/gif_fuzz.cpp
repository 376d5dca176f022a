// Feeds arbitrary bytes to the GIF decoder: it must throw its text or decode,
// never crash, hang, leak or write outside the image.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "core/gif_decoder.h"

namespace {

// Screens beyond this size are decodable but only cost the fuzzer memory.
constexpr long maxPixels = 1L << 22;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  GifDecoder decoder;
  int width = 0;
  int height = 0;
  try {
    std::istringstream screen(bytes);
    decoder.readScreenSize(screen, width, height);
  } catch (const std::string&) {
    return 0;
  }
  if (long(width) * height > maxPixels) return 0;

  std::istringstream in(bytes);
  GifIndexImage image;
  try {
    decoder.decode(in, image);
  } catch (const std::string&) {
  }
  if (image.width != width || image.height != height ||
      image.pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height))
    __builtin_trap();
  return 0;
}
