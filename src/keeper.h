// What goes out in keep-alive mode: the camera's frames as they come, its last
// frame again in a short gap, the slate while it is away; with audio, silence
// in the gaps and under the slate. One thread keeps the cadence; the pumps of
// each decoder in turn feed it.
#pragma once

#include <cstdint>
#include <string>

struct Slate;

enum class Picture { kSlate, kCamera };

// Starts the keeper with the drawn slate (which it owns from now on); at
// first the slate goes out. False when its thread or buffers cannot be had.
bool keeper_start(Slate* slate, bool audio);

// Ends the keeper's thread; nothing goes out after it returns.
void keeper_stop();

// The reason the slate gives, in the card's words.
void keeper_set_reason(const std::string& reason);

// What goes out now, and since when the camera is away (steady nanoseconds:
// its last frame, or the keeper's start).
Picture keeper_picture();
int64_t keeper_away_since_ns();

// The camera's last frame of the current decoder (steady nanoseconds, 0 for none yet).
int64_t keeper_feed_frame_ns();

// Pump thread entries for one decoder's connections; the argument points at the
// accepted socket, which stays open for the caller to close once they have ended.
int keeper_video_thread(void* socket);
int keeper_audio_thread(void* socket);
