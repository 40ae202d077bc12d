// The decoder child: its argument list and its life.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net.h"

struct Options;

// The decoder's whole argument list, entry 0 being the program itself:
// 30 entries without audio, 41 with.
std::vector<std::string> decoder_args(const Options& opt, int32_t video_port, int32_t audio_port);

// Starts the decoder bound to this process's lifetime; false when it cannot start.
bool decoder_start(const std::vector<std::string>& args);

// Waits for the decoder's connection on listener, at most timeout_ms and no longer
// than the decoder lives: once it has ended, only a connection it made before is
// taken. -1 when none came.
zal_socket decoder_accept(zal_socket listener, int timeout_ms = 30000);

// Waits for the decoder to end and returns its exit status. A decoder that
// this program killed reports 0.
int32_t wait_child();

// Waits until what the decoder wrote on its standard output and error is read:
// its timestamps, and with --decoder-log its last lines out. Call after its
// connections are closed: a process of its own holding them may hold those
// as long.
void decoder_output_end();

// Kills the decoder, if one was started; harmless once it has ended.
void kill_child();
