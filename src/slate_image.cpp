// The slate's background picture: stb_image reads it, stb_image_resize scales it.
#include <algorithm>
#include <cstdio>

#include "slate.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>
#pragma GCC diagnostic pop

bool load_slate_image(const char* path, SlateImage* image, std::string* why) {
  // Opened here, not by stb_image: a narrow path, as the rest of the program takes it.
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *why = "cannot open it";
    return false;
  }
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load_from_file(file, &width, &height, &channels, 4);
  fclose(file);
  if (pixels == nullptr) {
    *why = std::string("not a PNG or JPEG image it can read (") + stbi_failure_reason() + ")";
    return false;
  }
  image->width = width;
  image->height = height;
  image->rgba.assign(pixels, pixels + static_cast<size_t>(width) * height * 4);
  stbi_image_free(pixels);
  return true;
}

SlateImage scale_to_fit(const SlateImage& image, int32_t width, int32_t height) {
  SlateImage out;
  if (image.width <= 0 || image.height <= 0) return out;
  double scale = std::min(static_cast<double>(width) / image.width,
                          static_cast<double>(height) / image.height);
  out.width = std::max(1, static_cast<int32_t>(image.width * scale + 0.5));
  out.height = std::max(1, static_cast<int32_t>(image.height * scale + 0.5));
  out.width = std::min(out.width, width);
  out.height = std::min(out.height, height);
  out.rgba.resize(static_cast<size_t>(out.width) * out.height * 4);
  stbir_resize_uint8_srgb(image.rgba.data(), image.width, image.height, 0, out.rgba.data(),
                          out.width, out.height, 0, 4, 3, 0);
  return out;
}
