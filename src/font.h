// Text drawn with a real font (DejaVu Sans Bold, compiled in) through stb_truetype.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A line of text as coverage, 0 (none) to 255 (full), in rows of `width` bytes.
// Its height runs from the font's ascent to its descent.
struct TextMask {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> alpha;
};

// Width in pixels of a UTF-8 line at a pixel height.
int32_t text_width(const std::string& text, int32_t pixel_height);

// Renders a UTF-8 line at a pixel height.
TextMask render_text(const std::string& text, int32_t pixel_height);

// The characters of UTF-8 text; each byte that starts none comes out as U+FFFD.
std::vector<uint32_t> utf8_codepoints(const std::string& text);

// The text cut to fit max_width at pixel_height, ending in an ellipsis when cut.
std::string fit_text(const std::string& text, int32_t pixel_height, int32_t max_width);
