// The card that goes out while the camera's picture does not: the source's
// name, "No signal", why, and for how long. Drawn once in NV12; only the lines
// that change are drawn again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A background picture as 8-bit RGBA rows.
struct SlateImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> rgba;
};

// Reads a PNG or JPEG file; false with the reason in *why.
bool load_slate_image(const char* path, SlateImage* image, std::string* why);

// The image scaled to the largest size that fits width x height, aspect kept.
SlateImage scale_to_fit(const SlateImage& image, int32_t width, int32_t height);

// A line of the card that changes: where it sits and what it shows now.
struct SlateLine {
  int32_t top = 0;
  int32_t height = 0;
  int32_t pixel_height = 0;
  uint32_t rgb = 0;
  std::string shown;
};

struct Slate {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> frame;       // NV12, what goes out
  std::vector<uint8_t> background;  // NV12, the card without its changing lines
  SlateLine reason;
  SlateLine away;
};

// Draws the card at width x height (both even): the image scaled to fit with
// its aspect kept (null: a plain background), "No signal" and the name.
void slate_draw(Slate* slate, int32_t width, int32_t height, const std::string& name,
                const SlateImage* image);

// Shows the reason and the time away; draws only the lines whose text changed.
void slate_update(Slate* slate, const std::string& reason, int64_t away_seconds);

// "Away for 0:42", "Away for 12:05", "Away for 1:02:03".
std::string away_text(int64_t seconds);
