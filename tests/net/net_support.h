// Helpers of the network tests: a channel with a bare log file, and a
// channel connected to a scripted server without the driver.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "driver/replies.h"
#include "net/reader.h"
#include "net/socket.h"

constexpr uint32_t Loopback = 0x7F000001;

class NetTest : public AttachedTest {
 protected:
  // A log with nothing in it yet (no trace line of the parameter call).
  std::string BareLog(unsigned n = 0) {
    std::string path = dir_ + "/bare" + std::to_string(n) + ".log";
    Ch(n).LogHandle = PlatformFileCreate(path.c_str());
    EXPECT_GT(Ch(n).LogHandle, 0);
    return path;
  }
  // A blocking connect of channel n to 127.0.0.1:port.
  void Connect(uint16_t port, unsigned n = 0) {
    Ch(n).NonBlockConnect = 0;
    ASSERT_GT(OpenSocket(n), 0);
    ASSERT_EQ(ConnectSocket(n, Loopback, port), 1);
  }
  // How often a text occurs in another.
  static int Count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
  }
};
