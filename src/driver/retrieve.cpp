// retrieve.cpp: states not built yet.
#include "driver.h"

int ReceiveRaw(Channel &ch, Tick) { return StateNotBuilt(ch); }
int RetrCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int TopCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ReceiveToFile(Channel &ch, Tick) { return StateNotBuilt(ch); }
int FinishEmailFile(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ReceiveToBuffer(Channel &ch, Tick) { return StateNotBuilt(ch); }
