// attach.cpp: states not built yet.
#include "driver.h"

int AttachBoundary(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AttachContentType(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AttachTransferEncoding(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AttachDisposition(Channel &ch, Tick) { return StateNotBuilt(ch); }
int OpenAttachment(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SendAttachment(Channel &ch, Tick) { return StateNotBuilt(ch); }
