#include "thumbnail.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "clock.h"
#include "files.h"

#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

namespace {

constexpr int64_t kEveryNs = INT64_C(2000000000);
constexpr int kQuality = 80;

uint8_t clamp8(int32_t value) {
  return static_cast<uint8_t>(std::min(255, std::max(0, value)));
}

// The source positions one output position averages: one or two, spread over its span.
struct Span {
  int32_t at[2];
  int32_t count;
};

Span span(int32_t index, int32_t out_size, int32_t in_size) {
  int64_t first = static_cast<int64_t>(index) * in_size / out_size;
  int64_t end = std::max(first + 1, static_cast<int64_t>(index + 1) * in_size / out_size);
  Span s;
  s.count = end - first > 1 ? 2 : 1;
  for (int32_t k = 0; k < s.count; ++k) {
    s.at[k] = static_cast<int32_t>(first + (end - first) * (2 * k + 1) / (2 * s.count));
  }
  return s;
}

void append(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

// The writer's side: the latest copy waits in taken until the thread takes it.
struct Writer {
  std::string path;
  int32_t width = 0;
  int32_t height = 0;
  std::thread thread;
  std::mutex lock;
  std::condition_variable wake;
  Thumb taken;         // under lock
  bool fresh = false;  // under lock: taken holds a copy not yet written
  bool quit = false;   // under lock
};

Writer gWriter;
std::atomic<bool> gOn{false};
std::atomic<int64_t> gDueNs{0};

// Writes beside the file, then puts it in place, so a reader never sees half a picture.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string temporary = path + ".tmp";
  FILE* file = fopen(temporary.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  written = fclose(file) == 0 && written;
  if (written && replace_file(temporary.c_str(), path.c_str())) return true;
  remove(temporary.c_str());
  return false;
}

void writer_loop() {
  Thumb thumb;
  std::unique_lock<std::mutex> hold(gWriter.lock);
  while (true) {
    gWriter.wake.wait(hold, [] { return gWriter.fresh || gWriter.quit; });
    if (gWriter.quit) return;
    std::swap(thumb, gWriter.taken);
    gWriter.fresh = false;
    hold.unlock();
    thumb_to_rgb(&thumb);
    std::vector<uint8_t> jpeg = thumb_jpeg(thumb);
    // A failed write is not worth a line: the next picture comes in 2 s.
    if (!jpeg.empty()) write_file(gWriter.path, jpeg);
    hold.lock();
  }
}

}  // namespace

int32_t thumb_height(int32_t width, int32_t height) {
  int64_t scaled = (static_cast<int64_t>(height) * kThumbWidth + width / 2) / width;
  return static_cast<int32_t>(std::max<int64_t>(1, scaled));
}

void thumb_take(const uint8_t* nv12, int32_t width, int32_t height, Thumb* out) {
  out->width = kThumbWidth;
  out->height = thumb_height(width, height);
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * 3);
  const uint8_t* chroma = nv12 + static_cast<size_t>(width) * height;
  Span spans[kThumbWidth];
  for (int32_t ox = 0; ox < kThumbWidth; ++ox) spans[ox] = span(ox, kThumbWidth, width);
  uint8_t* pixel = out->pixels.data();
  for (int32_t oy = 0; oy < out->height; ++oy) {
    Span rows = span(oy, out->height, height);
    const uint8_t* luma[2] = {nv12 + static_cast<size_t>(rows.at[0]) * width,
                              nv12 + static_cast<size_t>(rows.at[rows.count - 1]) * width};
    // Chroma has half the rows and columns: one sample at the span's middle is its box.
    const uint8_t* chroma_row =
        chroma + static_cast<size_t>((rows.at[0] + rows.at[rows.count - 1]) / 4) * width;
    for (int32_t ox = 0; ox < out->width; ++ox, pixel += 3) {
      int32_t left = spans[ox].at[0], right = spans[ox].at[spans[ox].count - 1];
      pixel[0] = static_cast<uint8_t>(
          (luma[0][left] + luma[0][right] + luma[1][left] + luma[1][right] + 2) >> 2);
      int32_t middle = ((left + right) / 2) & ~1;
      pixel[1] = chroma_row[middle];
      pixel[2] = chroma_row[middle + 1];
    }
  }
}

void thumb_to_rgb(Thumb* thumb) {
  // BT.709, limited range, as the slate draws and HD cameras send; 16.16 fixed point.
  for (size_t i = 0; i + 2 < thumb->pixels.size(); i += 3) {
    uint8_t* p = &thumb->pixels[i];
    int32_t c = 76309 * (p[0] - 16), d = p[1] - 128, e = p[2] - 128;
    p[0] = clamp8((c + 117489 * e + 32768) >> 16);
    p[1] = clamp8((c - 13975 * d - 34925 * e + 32768) >> 16);
    p[2] = clamp8((c + 138438 * d + 32768) >> 16);
  }
}

std::vector<uint8_t> thumb_jpeg(const Thumb& thumb) {
  std::vector<uint8_t> out;
  if (!stbi_write_jpg_to_func(append, &out, thumb.width, thumb.height, 3, thumb.pixels.data(),
                              kQuality)) {
    out.clear();
  }
  return out;
}

bool thumbnail_start(const char* path, int32_t width, int32_t height) {
  gWriter.path = path;
  gWriter.width = width;
  gWriter.height = height;
  gWriter.quit = false;
  try {
    gWriter.thread = std::thread(writer_loop);
  } catch (const std::system_error&) {
    return false;
  }
  gDueNs.store(0);
  gOn.store(true);
  return true;
}

void thumbnail_frame(const uint8_t* nv12) {
  if (!gOn.load(std::memory_order_relaxed)) return;
  int64_t now = steady_now_ns();
  if (now < gDueNs.load(std::memory_order_relaxed)) return;
  gDueNs.store(now + kEveryNs, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(gWriter.lock);
  thumb_take(nv12, gWriter.width, gWriter.height, &gWriter.taken);
  gWriter.fresh = true;
  gWriter.wake.notify_one();
}

void thumbnail_stop() {
  if (!gOn.exchange(false)) return;
  {
    std::lock_guard<std::mutex> hold(gWriter.lock);
    gWriter.quit = true;
    gWriter.wake.notify_one();
  }
  gWriter.thread.join();
  remove(gWriter.path.c_str());
}
