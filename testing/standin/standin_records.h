// The runtime's side of the version-6 dynamic-load interface, declared here
// from the published field lists and table positions. Kept apart from the
// program's declarations on purpose: a mistake made there shows up as a wrong
// record in the capture instead of being made the same way on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

// The records carry their published names, outside our namespace: a caller's function
// types then match ours, which the undefined-behaviour sanitizer checks by name.
struct NDIlib_send_create_t {
  const char* p_ndi_name;
  const char* p_groups;
  bool clock_video;
  bool clock_audio;
};

struct NDIlib_video_frame_v2_t {
  int32_t xres;
  int32_t yres;
  int32_t FourCC;
  int32_t frame_rate_N;
  int32_t frame_rate_D;
  float picture_aspect_ratio;
  int32_t frame_format_type;
  int64_t timecode;
  uint8_t* p_data;
  int32_t line_stride_in_bytes;
  const char* p_metadata;
  int64_t timestamp;
};

struct NDIlib_audio_frame_v2_t {
  int32_t sample_rate;
  int32_t no_channels;
  int32_t no_samples;
  int64_t timecode;
  float* p_data;
  int32_t channel_stride_in_bytes;
  const char* p_metadata;
  int64_t timestamp;
};

namespace standin {

// Every field where a 64-bit caller puts it (the same on LP64 and LLP64).
constexpr bool k64 = sizeof(void*) == 8;
static_assert(!k64 || sizeof(NDIlib_send_create_t) == 24, "send-create size");
static_assert(!k64 || offsetof(NDIlib_send_create_t, p_ndi_name) == 0, "p_ndi_name");
static_assert(!k64 || offsetof(NDIlib_send_create_t, p_groups) == 8, "p_groups");
static_assert(!k64 || offsetof(NDIlib_send_create_t, clock_video) == 16, "clock_video");
static_assert(!k64 || offsetof(NDIlib_send_create_t, clock_audio) == 17, "clock_audio");

static_assert(!k64 || sizeof(NDIlib_video_frame_v2_t) == 72, "video frame size");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, xres) == 0, "xres");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, yres) == 4, "yres");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, FourCC) == 8, "FourCC");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12, "frame_rate_N");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16, "frame_rate_D");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20,
              "picture_aspect_ratio");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24,
              "frame_format_type");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, timecode) == 32, "video timecode");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, p_data) == 40, "video p_data");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48,
              "line_stride_in_bytes");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56, "video p_metadata");
static_assert(!k64 || offsetof(NDIlib_video_frame_v2_t, timestamp) == 64, "video timestamp");

static_assert(!k64 || sizeof(NDIlib_audio_frame_v2_t) == 56, "audio frame size");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, sample_rate) == 0, "sample_rate");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, no_channels) == 4, "no_channels");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, no_samples) == 8, "no_samples");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, timecode) == 16, "audio timecode");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, p_data) == 24, "audio p_data");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32,
              "channel_stride_in_bytes");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, p_metadata) == 40, "audio p_metadata");
static_assert(!k64 || offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48, "audio timestamp");

// Positions in the table of entry pointers that NDIlib_v6_load returns.
namespace position {
constexpr int kInitialize = 0;
constexpr int kVersion = 2;
constexpr int kSendCreate = 8;
constexpr int kSendDestroy = 9;
constexpr int kSendGetNoConnections = 17;
constexpr int kSendVideoV2 = 50;
constexpr int kSendAudioV2 = 52;
constexpr int kTableSize = 64;  // past the highest position served
}  // namespace position

typedef bool (*InitializeFn)(void);
typedef const char* (*VersionFn)(void);
typedef void* (*SendCreateFn)(const NDIlib_send_create_t*);
typedef void (*SendDestroyFn)(void*);
typedef int (*SendGetNoConnectionsFn)(void*, uint32_t);
typedef void (*SendVideoFn)(void*, const NDIlib_video_frame_v2_t*);
typedef void (*SendAudioFn)(void*, const NDIlib_audio_frame_v2_t*);

}  // namespace standin
