// smtp.cpp: states not built yet.
#include "driver.h"

int SmtpStart(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SmtpGreeting(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SmtpHello(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SmtpHelloReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int MailFrom(Channel &ch, Tick) { return StateNotBuilt(ch); }
int MailFromReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int NextRecipient(Channel &ch, Tick) { return StateNotBuilt(ch); }
int RcptTo(Channel &ch, Tick) { return StateNotBuilt(ch); }
int RcptToReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int DataCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int DataReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int EndOfDataReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int Quit(Channel &ch, Tick) { return StateNotBuilt(ch); }
int QuitReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int NextVrfyAddress(Channel &ch, Tick) { return StateNotBuilt(ch); }
int VrfyCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int VrfyReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SmtpCommand(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SmtpCommandReply(Channel &ch, Tick) { return StateNotBuilt(ch); }
