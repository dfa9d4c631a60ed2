// pop3.cpp: states not built yet.
#include "driver.h"

int Pop3Start(Channel &ch, Tick) { return StateNotBuilt(ch); }
int Pop3Greeting(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ApopCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int UserCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int UserReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int PassCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int LoginReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int StatCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int StatReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int DeleCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int DeleReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ListCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ListReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int UidlCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int UidlReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int Pop3Command(Channel &ch, Tick) { return StateNotBuilt(ch); }
int Pop3CommandReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
