// A scripted server over Windows Sockets for the tests under Wine: listens
// on 127.0.0.1 on an ephemeral port, plays its steps on the connection it
// accepts and records every byte it receives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class WineServer {
 public:
  WineServer();   // binds 127.0.0.1:0 and listens
  ~WineServer();  // ends the script and closes every socket it opened
  WineServer(const WineServer &) = delete;
  WineServer &operator=(const WineServer &) = delete;

  uint16_t Port() const { return port_; }

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

// A port on 127.0.0.1 on which nothing listens.
uint16_t ClosedLoopbackPort();
