// --thumbnail: a small JPEG of what goes out, put in place every 2 s. The
// video path only takes a cheap 320-wide RGB copy now and then; a thread of
// its own encodes it and replaces the file.
#pragma once

#include <cstdint>
#include <vector>

constexpr int32_t kThumbWidth = 320;

struct Thumb {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> pixels;  // rows of Y, Cb, Cr as taken; R, G, B once converted
};

// The picture's height at kThumbWidth, aspect kept; at least 1.
int32_t thumb_height(int32_t width, int32_t height);

// A box-filtered Y, Cb, Cr copy of an NV12 frame at kThumbWidth x thumb_height: the
// video path's part, kept small.
void thumb_take(const uint8_t* nv12, int32_t width, int32_t height, Thumb* out);

// Y, Cb, Cr (BT.709, limited range) to R, G, B, in place.
void thumb_to_rgb(Thumb* thumb);

// The RGB thumb as a JPEG file's bytes; empty when the encoder fails.
std::vector<uint8_t> thumb_jpeg(const Thumb& thumb);

// Starts the writer for frames of width x height; false when its thread cannot start.
bool thumbnail_start(const char* path, int32_t width, int32_t height);

// Called with each frame sent: takes a copy when one is due, else only reads the clock.
// Callers never run at once (one pump, or under the keeper's lock).
void thumbnail_frame(const uint8_t* nv12);

// Ends the writer and removes the file: nothing goes out any more.
void thumbnail_stop();
