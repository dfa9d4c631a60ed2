// The receive ring of a channel: bytes taken from the socket wait here until
// a reader cuts them into lines.
#include "ring.h"

#include <cstring>

int RingFill(const Channel &ch) { return (ch.RingWrite + RingSize - ch.RingRead) % RingSize; }

// The ring is copied in at most two runs, before and after its wrap.
int RingPut(Channel &ch, const char *bytes, int count) {
  KEL_ASSERT(ch.RingRead >= 0 && ch.RingRead < RingSize && ch.RingWrite >= 0 && ch.RingWrite < RingSize);
  KEL_ASSERT(count >= 0);
  for (int done = 0; done < count;) {
    int run = RingSize - ch.RingWrite;
    int room = (ch.RingRead + RingSize - ch.RingWrite - 1) % RingSize;
    if (run > room + 1) run = room + 1;  // the byte that meets RingRead overflows the ring
    if (run > count - done) run = count - done;
    memcpy(ch.Ring + ch.RingWrite, bytes + done, static_cast<size_t>(run));
    done += run;
    ch.RingWrite = (ch.RingWrite + run) % RingSize;
    // Overflow: the content is dropped and writing goes on at position 0.
    if (ch.RingWrite == ch.RingRead) ch.RingRead = ch.RingWrite = 0;
  }
  return count;
}

int RingPeek(const Channel &ch, char *buffer, int count) {
  KEL_ASSERT(ch.RingRead >= 0 && ch.RingRead < RingSize && ch.RingWrite >= 0 && ch.RingWrite < RingSize);
  int fill = RingFill(ch);
  int n = count < fill ? count : fill;
  if (n <= 0) return 0;
  int first = RingSize - ch.RingRead;
  if (first > n) first = n;
  memcpy(buffer, ch.Ring + ch.RingRead, static_cast<size_t>(first));
  memcpy(buffer + first, ch.Ring, static_cast<size_t>(n - first));
  return n;
}

int RingGet(Channel &ch, char *buffer, int count) {
  int n = RingPeek(ch, buffer, count);
  ch.RingRead = (ch.RingRead + n) % RingSize;
  if (ch.RingRead == ch.RingWrite) ch.RingRead = ch.RingWrite = 0;
  return n;
}
