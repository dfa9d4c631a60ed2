// A scripted server over Windows Sockets for the tests under Wine: listens
// on 127.0.0.1 (or on ::1) on an ephemeral port, plays its steps on the connection it
// accepts and records every byte it receives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class WineServer {
 public:
  // Binds 127.0.0.1:0 (family 4) or [::1]:0 (family 6) and listens.
  explicit WineServer(int family = 4);
  ~WineServer();  // ends the script and closes every socket it opened
  WineServer(const WineServer &) = delete;
  WineServer &operator=(const WineServer &) = delete;

  uint16_t Port() const { return port_; }
  bool Listening() const { return listener_ != ~uintptr_t(0); }

  WineServer &Send(const std::string &bytes);
  // Reads one line and compares it byte for byte (a mismatch is a failure).
  WineServer &ExpectLine(const std::string &line);
  // Reads until the bytes received since the last read step end with text.
  WineServer &ReadUntil(const std::string &text);
  WineServer &Close();
  // Keeps the connection open, reading nothing, until the server is destroyed.
  WineServer &Stall();

  void Start();
  bool Finish(int timeoutMs = 15000);  // true when the script ended without failure
  std::string Failures() const { return failures_; }
  std::string Received() const { return received_; }

 private:
  enum Kind { SendStep, LineStep, UntilStep, CloseStep, StallStep };
  struct Step {
    Kind What;
    std::string Text;
  };
  static unsigned long __stdcall Run(void *self);
  void Play();
  bool ReadMore(uintptr_t peer);

  std::vector<Step> steps_;
  uintptr_t listener_ = ~uintptr_t(0);
  uint16_t port_ = 0;
  void *thread_ = nullptr;
  volatile long stop_ = 0;
  std::string received_, pending_, failures_;
};

// A port on 127.0.0.1 (or ::1) on which nothing listens.
uint16_t ClosedLoopbackPort(int family = 4);

// The IPv6 socket address of Windows Sockets 2 (sockaddr_in6), which the
// 1.1 header lacks; the family number of IPv6 there is 23.
constexpr int WineAf6 = 23;
struct WineSockaddr6 {
  uint16_t Family;
  uint16_t Port;  // network order
  uint32_t FlowInfo;
  uint8_t Address[16];
  uint32_t ScopeId;
};
