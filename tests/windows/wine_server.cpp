// The scripted server of the Windows tests, on Windows Sockets 1.1.
#include "wine_server.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>

#include <cstring>

namespace {

// Every read step gives up after this long and records a failure.
constexpr DWORD ReadLimit = 10000;

SOCKET Listen(int family, uint16_t *port) {
  SOCKET s = socket(family == 6 ? WineAf6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in sa{};
  WineSockaddr6 sa6{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa6.Family = WineAf6;
  sa6.Address[15] = 1;
  sockaddr *address = family == 6 ? reinterpret_cast<sockaddr *>(&sa6) : reinterpret_cast<sockaddr *>(&sa);
  int len = family == 6 ? sizeof sa6 : sizeof sa;
  if (bind(s, address, len) != 0 || listen(s, 4) != 0 || getsockname(s, address, &len) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  *port = ntohs(family == 6 ? sa6.Port : sa.sin_port);
  return s;
}

// Readable within 50 ms.
bool Readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit{0, 50000};
  return select(0, &set, nullptr, nullptr, &limit) == 1;
}

}  // namespace

WineServer::WineServer(int family) {
  SOCKET s = Listen(family, &port_);
  listener_ = s;
  if (s == INVALID_SOCKET) failures_ += family == 6 ? "cannot listen on ::1\n" : "cannot listen on 127.0.0.1\n";
}

WineServer::~WineServer() {
  InterlockedExchange(&stop_, 1);
  Finish(15000);
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
}

WineServer &WineServer::Send(const std::string &bytes) {
  steps_.push_back({SendStep, bytes});
  return *this;
}
WineServer &WineServer::ExpectLine(const std::string &line) {
  steps_.push_back({LineStep, line});
  return *this;
}
WineServer &WineServer::ReadUntil(const std::string &text) {
  steps_.push_back({UntilStep, text});
  return *this;
}
WineServer &WineServer::Close() {
  steps_.push_back({CloseStep, ""});
  return *this;
}
WineServer &WineServer::Stall() {
  steps_.push_back({StallStep, ""});
  return *this;
}

void WineServer::Start() {
  if (listener_ == INVALID_SOCKET) return;
  thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

bool WineServer::Finish(int timeoutMs) {
  if (thread_) {
    if (WaitForSingleObject(thread_, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
      InterlockedExchange(&stop_, 1);
      WaitForSingleObject(thread_, INFINITE);
      failures_ += "script did not end in time\n";
    }
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  return failures_.empty();
}

unsigned long __stdcall WineServer::Run(void *self) {
  static_cast<WineServer *>(self)->Play();
  return 0;
}

// One more piece of data into pending_ and received_; false at the end of
// the connection, on a stop or when the read limit passed.
bool WineServer::ReadMore(uintptr_t peer) {
  const DWORD start = GetTickCount();
  while (!stop_ && GetTickCount() - start < ReadLimit) {
    if (!Readable(peer)) continue;
    char buffer[4096];
    int n = recv(peer, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    received_.append(buffer, static_cast<size_t>(n));
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
  }
  return false;
}

void WineServer::Play() {
  SOCKET peer = INVALID_SOCKET;
  const DWORD start = GetTickCount();
  while (!stop_ && GetTickCount() - start < ReadLimit) {
    if (!Readable(listener_)) continue;
    peer = accept(listener_, nullptr, nullptr);
    break;
  }
  if (peer == INVALID_SOCKET) {
    failures_ += "no connection\n";
    return;
  }
  for (const Step &step : steps_) {
    bool ok = true;
    switch (step.What) {
      case SendStep: {
        size_t done = 0;
        while (ok && done < step.Text.size()) {
          int n = send(peer, step.Text.data() + done, static_cast<int>(step.Text.size() - done), 0);
          ok = n > 0;
          if (ok) done += static_cast<size_t>(n);
        }
        if (!ok) failures_ += "send failed\n";
        break;
      }
      case LineStep: {
        size_t end;
        while ((end = pending_.find('\n')) == std::string::npos && (ok = ReadMore(peer))) {
        }
        if (!ok) {
          failures_ += "no line; expected " + step.Text + "\n";
          break;
        }
        const std::string line = pending_.substr(0, end + 1);
        pending_.erase(0, end + 1);
        if (line != step.Text) failures_ += "expected line " + step.Text + " got " + line + "\n";
        break;
      }
      case UntilStep: {
        auto ends = [&] {
          return pending_.size() >= step.Text.size() &&
                 pending_.compare(pending_.size() - step.Text.size(), step.Text.size(), step.Text) == 0;
        };
        while (!ends() && (ok = ReadMore(peer))) {
        }
        if (!ok) failures_ += "never received " + step.Text + "\n";
        pending_.clear();
        break;
      }
      case CloseStep:
        closesocket(peer);
        peer = INVALID_SOCKET;
        break;
      case StallStep:
        while (!stop_) Sleep(20);
        break;
    }
    if (!ok || peer == INVALID_SOCKET) break;
  }
  if (peer != INVALID_SOCKET) closesocket(peer);
}

uint16_t ClosedLoopbackPort(int family) {
  uint16_t port = 0;
  SOCKET s = Listen(family, &port);
  if (s != INVALID_SOCKET) closesocket(s);
  return port;
}
