// The two pumps: whole NV12 frames and 10 ms audio blocks from the decoder's
// loopback connections to the NDI sender.
#pragma once

#include <cstdint>

#include "net.h"

// 10 ms of stereo float audio at 48 kHz.
constexpr int32_t kAudioSamples = 480;
constexpr int32_t kAudioChannels = 2;
constexpr int32_t kAudioRate = 48000;
constexpr int32_t kAudioBlockBytes = kAudioSamples * kAudioChannels * 4;

// Receives exactly length bytes; false when the stream ends or fails first.
bool recv_exact(zal_socket s, uint8_t* buffer, int64_t length);

// Thread entries; the argument points at the accepted socket, which stays open for the
// caller to close once the thread has ended. The audio pump holds its blocks back by one
// frame period as the video pump measures it (at most 100 ms), to meet the pictures.
int video_thread(void* socket);
int audio_thread(void* socket);
