#include "slate.h"

#include <algorithm>
#include <cstdio>

#include "font.h"

namespace {

// A calm dark blue-grey card, white and grey text: nothing on it moves but the time.
constexpr uint32_t kCardRgb = 0x1A2433;
constexpr uint32_t kHeadRgb = 0xFFFFFF;
constexpr uint32_t kNameRgb = 0xD8DEE6;
constexpr uint32_t kReasonRgb = 0xF0C674;
constexpr uint32_t kAwayRgb = 0xA8B2BE;

struct Yuv {
  int y, u, v;
};

// BT.709, limited range, as HD receivers take NV12.
Yuv to_yuv(uint32_t rgb) {
  double r = ((rgb >> 16) & 0xFF) / 255.0, g = ((rgb >> 8) & 0xFF) / 255.0;
  double b = (rgb & 0xFF) / 255.0;
  double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {static_cast<int>(16.5 + 219 * y), static_cast<int>(128.5 + 224 * (b - y) / 1.8556),
          static_cast<int>(128.5 + 224 * (r - y) / 1.5748)};
}

size_t luma_size(const Slate& s) { return static_cast<size_t>(s.width) * s.height; }

uint8_t* chroma_row(Slate* s, int32_t y) {
  return s->frame.data() + luma_size(*s) + static_cast<size_t>(y / 2) * s->width;
}

void fill(Slate* s, uint32_t rgb) {
  Yuv c = to_yuv(rgb);
  std::fill(s->frame.begin(), s->frame.begin() + luma_size(*s), static_cast<uint8_t>(c.y));
  for (size_t i = luma_size(*s); i + 1 < s->frame.size(); i += 2) {
    s->frame[i] = static_cast<uint8_t>(c.u);
    s->frame[i + 1] = static_cast<uint8_t>(c.v);
  }
}

uint8_t blend(int from, int to, int alpha) {
  return static_cast<uint8_t>(from + ((to - from) * alpha + 127) / 255);
}

// The image, composited over the card colour, centred; its 2x2 blocks share one chroma.
void paint_image(Slate* s, const SlateImage& image) {
  Yuv card = to_yuv(kCardRgb);
  int32_t left = (s->width - image.width) / 2 & ~1, top = (s->height - image.height) / 2 & ~1;
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* in = image.rgba.data() + static_cast<size_t>(y) * image.width * 4;
    for (int32_t x = 0; x < image.width; ++x, in += 4) {
      Yuv c = to_yuv(static_cast<uint32_t>(in[0]) << 16 | in[1] << 8 | in[2]);
      size_t at = static_cast<size_t>(top + y) * s->width + left + x;
      s->frame[at] = blend(card.y, c.y, in[3]);
      if (((x | y) & 1) != 0) continue;
      uint8_t* uv = chroma_row(s, top + y) + ((left + x) & ~1);
      uv[0] = blend(card.u, c.u, in[3]);
      uv[1] = blend(card.v, c.v, in[3]);
    }
  }
}

// Dims a band behind the text, so it reads over any picture.
void dim_band(Slate* s, int32_t top, int32_t bottom) {
  top = std::max(0, top) & ~1;
  bottom = std::min(s->height, bottom);
  for (int32_t y = top; y < bottom; ++y) {
    uint8_t* row = s->frame.data() + static_cast<size_t>(y) * s->width;
    for (int32_t x = 0; x < s->width; ++x) row[x] = blend(row[x], 16, 166);
    if (y & 1) continue;
    uint8_t* uv = chroma_row(s, y);
    for (int32_t x = 0; x < s->width; ++x) uv[x] = blend(uv[x], 128, 166);
  }
}

// Draws a line of text centred across the card, its box's top at `top`.
void draw_text(Slate* s, const std::string& text, int32_t pixel_height, int32_t top, uint32_t rgb) {
  std::string fitted = fit_text(text, pixel_height, s->width * 9 / 10);
  TextMask mask = render_text(fitted, pixel_height);
  Yuv c = to_yuv(rgb);
  int32_t left = (s->width - mask.width) / 2 & ~1;
  top &= ~1;
  for (int32_t y = 0; y < mask.height && top + y < s->height; ++y) {
    for (int32_t x = 0; x < mask.width && left + x < s->width; ++x) {
      int a = mask.alpha[static_cast<size_t>(y) * mask.width + x];
      if (a == 0 || top + y < 0 || left + x < 0) continue;
      uint8_t& luma = s->frame[static_cast<size_t>(top + y) * s->width + left + x];
      luma = blend(luma, c.y, a);
      if (((x | y) & 1) != 0) continue;
      // The block's chroma follows the mean coverage of its four pixels.
      int x1 = std::min(x + 1, mask.width - 1), y1 = std::min(y + 1, mask.height - 1);
      const uint8_t* m = mask.alpha.data();
      size_t row = static_cast<size_t>(y) * mask.width;
      size_t below = static_cast<size_t>(y1) * mask.width;
      int mean = (a + m[row + x1] + m[below + x] + m[below + x1]) / 4;
      uint8_t* uv = chroma_row(s, top + y) + left + x;
      uv[0] = blend(uv[0], c.u, mean);
      uv[1] = blend(uv[1], c.v, mean);
    }
  }
}

// Puts the background back over a line's rows, luma and chroma.
void restore(Slate* s, const SlateLine& line) {
  int32_t top = std::max(0, line.top) & ~1;
  int32_t bottom = std::min(s->height, line.top + line.height + 1);
  for (int32_t y = top; y < bottom; ++y) {
    size_t at = static_cast<size_t>(y) * s->width;
    std::copy_n(s->background.begin() + at, s->width, s->frame.begin() + at);
    if (y & 1) continue;
    size_t uv = luma_size(*s) + static_cast<size_t>(y / 2) * s->width;
    std::copy_n(s->background.begin() + uv, s->width, s->frame.begin() + uv);
  }
}

void show(Slate* s, SlateLine* line, const std::string& text) {
  if (line->shown == text) return;
  restore(s, *line);
  draw_text(s, text, line->pixel_height, line->top, line->rgb);
  line->shown = text;
}

SlateLine line_at(int32_t top, int32_t pixel_height, uint32_t rgb) {
  SlateLine line;
  line.top = top;
  line.pixel_height = pixel_height;
  line.height = pixel_height * 13 / 10;
  line.rgb = rgb;
  return line;
}

}  // namespace

std::string away_text(int64_t seconds) {
  char text[64];
  int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) {
    snprintf(text, sizeof text, "Away for %lld:%02lld:%02lld", static_cast<long long>(h),
             static_cast<long long>(m), static_cast<long long>(s));
  } else {
    snprintf(text, sizeof text, "Away for %lld:%02lld", static_cast<long long>(m),
             static_cast<long long>(s));
  }
  return text;
}

void slate_draw(Slate* s, int32_t width, int32_t height, const std::string& name,
                const SlateImage* image) {
  s->width = width;
  s->height = height;
  s->frame.assign(luma_size(*s) * 3 / 2, 0);
  fill(s, kCardRgb);
  if (image != nullptr) paint_image(s, scale_to_fit(*image, width, height));
  // Sizes for a multiviewer tile: at a quarter of the width, the smallest line is still 16 pixels.
  int32_t head = std::max(8, height * 12 / 100), title = std::max(8, height * 8 / 100),
          small = std::max(8, height * 6 / 100);
  int32_t block = (head + title + 2 * small) * 13 / 10 + height / 30;
  int32_t top = (height - block) / 2;
  if (image != nullptr) dim_band(s, top - height / 30, top + block + height / 30);
  draw_text(s, "No signal", head, top, kHeadRgb);
  top += head * 13 / 10;
  draw_text(s, name, title, top, kNameRgb);
  top += title * 13 / 10 + height / 30;
  s->reason = line_at(top, small, kReasonRgb);
  s->away = line_at(top + small * 13 / 10, small, kAwayRgb);
  s->background = s->frame;
}

void slate_update(Slate* s, const std::string& reason, int64_t away_seconds) {
  show(s, &s->reason, reason);
  show(s, &s->away, away_text(away_seconds));
}
