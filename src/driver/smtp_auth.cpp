// smtp_auth.cpp: states not built yet.
#include "driver.h"

int AuthCramStart(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthCramChallenge(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthCramResponse(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthCramResult(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthLoginStart(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthLoginUser(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthLoginPassword(Channel &ch, Tick) { return StateNotBuilt(ch); }
int AuthLoginResult(Channel &ch, Tick) { return StateNotBuilt(ch); }
