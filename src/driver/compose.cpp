// compose.cpp: states not built yet.
#include "driver.h"

int MessageIdHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int MailerHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int DateHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ToHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int FromHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int ReplyToHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SubjectHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int CcHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int MimeVersionHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int MultipartHeader(Channel &ch, Tick) { return StateNotBuilt(ch); }
int EndOfHeaders(Channel &ch, Tick) { return StateNotBuilt(ch); }
int BodyBoundary(Channel &ch, Tick) { return StateNotBuilt(ch); }
int BodyContentType(Channel &ch, Tick) { return StateNotBuilt(ch); }
int BodyTransferEncoding(Channel &ch, Tick) { return StateNotBuilt(ch); }
int BodyStart(Channel &ch, Tick) { return StateNotBuilt(ch); }
int TextBodyStart(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SendTextBody(Channel &ch, Tick) { return StateNotBuilt(ch); }
int OpenMessageFile(Channel &ch, Tick) { return StateNotBuilt(ch); }
int SendFileBody(Channel &ch, Tick) { return StateNotBuilt(ch); }
int EndOfData(Channel &ch, Tick) { return StateNotBuilt(ch); }
