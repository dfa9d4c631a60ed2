// Channels driven from several threads at once, each thread its own
// channels, while another thread changes the library-wide settings: every
// message arrives, and (in the thread-sanitizer build) nothing races.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fixtures/library_fixture.h"
#include "fixtures/script_server.h"
#include "kel32.h"

namespace {

constexpr int ThreadCount = 4;
constexpr int PerThread = 2;
constexpr int Messages = 3;
constexpr unsigned SettingsChannel = ThreadCount * PerThread;  // driven by no thread

class Threads : public AttachedTest {
 protected:
  int ChannelCount() const override { return ThreadCount * PerThread + 1; }
};

TEST_F(Threads, EachThreadDrivesItsOwnChannelsWhileSettingsChange) {
  std::vector<std::unique_ptr<ScriptServer>> servers;
  for (unsigned c = 0; c < SettingsChannel; c++) {
    auto server = std::make_unique<ScriptServer>();
    server->Send("220 ready\r\n").ExpectLine("HELO example.com\r\n").Send("250 hi\r\n");
    for (int m = 0; m < Messages; m++) {
      server->ExpectLine("MAIL FROM:<me@example.com>\r\n").Send("250 ok\r\n");
      server->ExpectLine("RCPT TO:<you@example.com>\r\n").Send("250 ok\r\n");
      server->ExpectLine("DATA\r\n").Send("354 go\r\n").ReadData().Send("250 queued\r\n");
    }
    server->ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
    server->Start();
    Ch(c).SmtpPort = server->Port();
    servers.push_back(std::move(server));
  }
  kelIntegerParam(SettingsChannel, KEL_STEP_DELAY, 0);
  kelIntegerParam(SettingsChannel, KEL_SLEEP_TIME, 5);
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done; i++) {
      kelIntegerParam(SettingsChannel, KEL_STEP_DELAY, i % 3);
      kelIntegerParam(SettingsChannel, KEL_SLEEP_TIME, 2 + i % 4);
      kelIntegerParam(SettingsChannel, KEL_RESPONSE_TIMEOUT, 20000 + i % 2);
      kelIntegerParam(SettingsChannel, KEL_BLOCK_DELAY, i % 2);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < ThreadCount; t++) {
    workers.emplace_back([&, t] {
      const unsigned first = static_cast<unsigned>(t * PerThread);
      for (unsigned c = first; c < first + PerThread; c++)
        if (kelSmtpConnect(c, "127.0.0.1", "<me@example.com>", nullptr) != 0) failures++;
      for (int m = 0; m < Messages; m++)
        for (unsigned c = first; c < first + PerThread; c++)
          if (kelSendEmail(c, "<you@example.com>", nullptr, nullptr, "s", "hello\r\nworld\r\n", nullptr) != 0)
            failures++;
      for (unsigned c = first; c < first + PerThread; c++)
        if (kelClose(c) != 0) failures++;
    });
  }
  for (auto &w : workers) w.join();
  done = true;
  changer.join();
  EXPECT_EQ(failures, 0);
  for (auto &server : servers) EXPECT_TRUE(server->Finish()) << server->Failures();
}

}  // namespace
