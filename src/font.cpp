#include "font.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#define STBTT_STATIC
#define STB_TRUETYPE_IMPLEMENTATION
#include <stb/stb_truetype.h>
#pragma GCC diagnostic pop

// The font's bytes, generated at build time from Debian's fonts-dejavu-core.
extern const unsigned char kDejaVuSansBold[];
extern const size_t kDejaVuSansBold_size;

namespace {

const stbtt_fontinfo* font() {
  static stbtt_fontinfo info;
  static bool ready = false;
  static std::once_flag once;
  std::call_once(once, [] { ready = stbtt_InitFont(&info, kDejaVuSansBold, 0) != 0; });
  return ready ? &info : nullptr;
}

// Where each character starts, in pixels from the line's start, and the line's end.
std::vector<float> pen_positions(const stbtt_fontinfo* info, const std::vector<uint32_t>& text,
                                 float scale) {
  std::vector<float> pen(text.size() + 1, 0.0f);
  for (size_t i = 0; i < text.size(); ++i) {
    int advance = 0, bearing = 0;
    stbtt_GetCodepointHMetrics(info, static_cast<int>(text[i]), &advance, &bearing);
    float kern = i + 1 < text.size()
                     ? stbtt_GetCodepointKernAdvance(info, static_cast<int>(text[i]),
                                                     static_cast<int>(text[i + 1]))
                     : 0;
    pen[i + 1] = pen[i] + (advance + kern) * scale;
  }
  return pen;
}

// One character's coverage added into the mask (overlaps keep the larger value).
void draw_glyph(const stbtt_fontinfo* info, uint32_t codepoint, float scale, float x,
                int32_t baseline, TextMask* mask) {
  int x0, y0, x1, y1;
  float shift = x - std::floor(x);
  stbtt_GetCodepointBitmapBoxSubpixel(info, static_cast<int>(codepoint), scale, scale, shift, 0,
                                      &x0, &y0, &x1, &y1);
  int w = x1 - x0, h = y1 - y0;
  if (w <= 0 || h <= 0) return;
  std::vector<uint8_t> glyph(static_cast<size_t>(w) * h);
  stbtt_MakeCodepointBitmapSubpixel(info, glyph.data(), w, h, w, scale, scale, shift, 0,
                                    static_cast<int>(codepoint));
  int left = static_cast<int>(std::floor(x)) + x0, top = baseline + y0;
  for (int row = 0; row < h; ++row) {
    int y = top + row;
    if (y < 0 || y >= mask->height) continue;
    for (int col = 0; col < w; ++col) {
      int px = left + col;
      if (px < 0 || px >= mask->width) continue;
      uint8_t& out = mask->alpha[static_cast<size_t>(y) * mask->width + px];
      out = std::max(out, glyph[static_cast<size_t>(row) * w + col]);
    }
  }
}

}  // namespace

std::vector<uint32_t> utf8_codepoints(const std::string& text) {
  std::vector<uint32_t> out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    uint32_t value = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    bool whole = length > 0 && end - p >= length;
    for (int i = 1; whole && i < length; ++i) {
      whole = (p[i] & 0xC0) == 0x80;
      value = (value << 6) | (p[i] & 0x3F);
    }
    out.push_back(whole ? value : 0xFFFD);
    p += whole ? length : 1;
  }
  return out;
}

int32_t text_width(const std::string& text, int32_t pixel_height) {
  const stbtt_fontinfo* info = font();
  if (info == nullptr) return 0;
  std::vector<uint32_t> codepoints = utf8_codepoints(text);
  float scale = stbtt_ScaleForPixelHeight(info, static_cast<float>(pixel_height));
  return static_cast<int32_t>(std::ceil(pen_positions(info, codepoints, scale).back()));
}

TextMask render_text(const std::string& text, int32_t pixel_height) {
  TextMask mask;
  const stbtt_fontinfo* info = font();
  if (info == nullptr) return mask;
  std::vector<uint32_t> codepoints = utf8_codepoints(text);
  float scale = stbtt_ScaleForPixelHeight(info, static_cast<float>(pixel_height));
  int ascent, descent, gap;
  stbtt_GetFontVMetrics(info, &ascent, &descent, &gap);
  int32_t baseline = static_cast<int32_t>(std::ceil(ascent * scale));
  std::vector<float> pen = pen_positions(info, codepoints, scale);
  // A pixel of room on either side for the antialiased edges.
  mask.width = static_cast<int32_t>(std::ceil(pen.back())) + 2;
  mask.height = baseline + static_cast<int32_t>(std::ceil(-descent * scale));
  mask.alpha.assign(static_cast<size_t>(mask.width) * mask.height, 0);
  for (size_t i = 0; i < codepoints.size(); ++i) {
    draw_glyph(info, codepoints[i], scale, pen[i] + 1, baseline, &mask);
  }
  return mask;
}

std::string fit_text(const std::string& text, int32_t pixel_height, int32_t max_width) {
  if (text_width(text, pixel_height) <= max_width) return text;
  // Whole characters only: cut back by UTF-8 sequences, then add the ellipsis.
  std::string cut = text;
  while (!cut.empty()) {
    size_t end = cut.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(cut[end]) & 0xC0) == 0x80) --end;
    cut.resize(end);
    if (text_width(cut + "\xE2\x80\xA6", pixel_height) <= max_width) break;
  }
  return cut + "\xE2\x80\xA6";
}
