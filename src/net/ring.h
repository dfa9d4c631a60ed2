// The receive ring: RingSize bytes of a channel's record, written by the
// socket readers and read by the line and reply readers.
#pragma once

#include "../core/channel.h"

constexpr int RingSize = 1024;

int RingFill(const Channel &ch);
int RingPut(Channel &ch, const char *bytes, int count);
int RingGet(Channel &ch, char *buffer, int count);
int RingPeek(const Channel &ch, char *buffer, int count);
