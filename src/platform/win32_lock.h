// A critical section that lives as long as the module: it is made when the
// DLL (or program) is loaded and deleted when it goes, so a call that enters
// it before the first attach or after a release still finds it initialised.
// Windows only; for the platform layer's own files.
#pragma once

#include <windows.h>

struct ModuleLock {
  CRITICAL_SECTION Section;
  ModuleLock() { InitializeCriticalSection(&Section); }
  ~ModuleLock() { DeleteCriticalSection(&Section); }
  ModuleLock(const ModuleLock &) = delete;
  ModuleLock &operator=(const ModuleLock &) = delete;
  void Enter() { EnterCriticalSection(&Section); }
  void Leave() { LeaveCriticalSection(&Section); }
};
