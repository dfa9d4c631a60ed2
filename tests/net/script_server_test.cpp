// The scripted server itself, driven by a plain client socket.
#include "fixtures/script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

int ConnectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendString(int fd, const std::string &s) {
  ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

// Reads until the peer closes or resets; errno of the end in *endErrno (0 = orderly).
std::string ReadToEnd(int fd, int *endErrno = nullptr) {
  std::string all;
  char buffer[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      if (endErrno) *endErrno = n < 0 ? errno : 0;
      break;
    }
    all.append(buffer, static_cast<size_t>(n));
  }
  return all;
}

// Counts the separate blocks in which n bytes arrive.
int BlocksFor(int fd, size_t n, std::string &got) {
  int blocks = 0;
  char buffer[512];
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    ssize_t r = recv(fd, buffer, sizeof buffer, 0);
    if (r <= 0) break;
    got.append(buffer, static_cast<size_t>(r));
    blocks++;
  }
  return blocks;
}

TEST(ScriptServer, PlaysDialogueAndRecordsBytes) {
  ScriptServer server;
  server.Send("220 hello\r\n")
      .ExpectLine("HELO example.com\r\n")
      .Send("250 ok\r\n")
      .ReadUntil("END\r\n")
      .Close();
  server.Start();
  int fd = ConnectTo(server.Port());
  ASSERT_GE(fd, 0);
  // The line and the following text arrive together: the rest stays for ReadUntil.
  SendString(fd, "HELO example.com\r\nsome END\r\n");
  EXPECT_EQ(ReadToEnd(fd), "220 hello\r\n250 ok\r\n");
  close(fd);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Received(), "HELO example.com\r\nsome END\r\n");
  EXPECT_EQ(server.Connections(), 1);
}

TEST(ScriptServer, MismatchIsRecordedAndScriptGoesOn) {
  ScriptServer server;
  server.ExpectLine("EHLO a\r\n").Send("250 ok\r\n").Close();
  server.Start();
  int fd = ConnectTo(server.Port());
  SendString(fd, "HELO b\r\n");
  EXPECT_EQ(ReadToEnd(fd), "250 ok\r\n");
  close(fd);
  EXPECT_FALSE(server.Finish());
  EXPECT_NE(server.Failures().find("expected 'EHLO a\r\n', got 'HELO b\r\n'"), std::string::npos)
      << server.Failures();
}

TEST(ScriptServer, SplitSendArrivesInPieces) {
  ScriptServer server;
  server.SendSplit("250-first\r\n250 last\r\n", {4, 11}, 250).Close();
  server.Start();
  int fd = ConnectTo(server.Port());
  std::string got;
  EXPECT_EQ(BlocksFor(fd, 21, got), 3);
  EXPECT_EQ(got, "250-first\r\n250 last\r\n");
  close(fd);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST(ScriptServer, ReadDataKeepsBodyWithoutEndLine) {
  ScriptServer server;
  server.ExpectLine("DATA\r\n").ReadData().Send("250 ok\r\n").ReadData().Close();
  server.Start();
  int fd = ConnectTo(server.Port());
  SendString(fd, "DATA\r\nline 1\r\n..dot\r\n.\r\n");
  char buffer[16];
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ASSERT_EQ(recv(fd, buffer, sizeof buffer, 0), 8);
  SendString(fd, ".\r\n");  // an empty body
  ReadToEnd(fd);
  close(fd);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.LastData(), "");
  EXPECT_EQ(server.Received(), "DATA\r\nline 1\r\n..dot\r\n.\r\n.\r\n");
}

TEST(ScriptServer, FirstBodyOfReadData) {
  ScriptServer server;
  server.ReadData().Close();
  server.Start();
  int fd = ConnectTo(server.Port());
  SendString(fd, "a\r\n.b\r\n");
  SendString(fd, ".\r\n");
  ReadToEnd(fd);
  close(fd);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.LastData(), "a\r\n.b\r\n");
}

TEST(ScriptServer, ResetGivesConnectionReset) {
  ScriptServer server;
  server.ExpectLine("x\r\n").Reset();
  server.Start();
  int fd = ConnectTo(server.Port());
  SendString(fd, "x\r\n");
  int end = -1;
  ReadToEnd(fd, &end);
  EXPECT_EQ(end, ECONNRESET);
  close(fd);
  EXPECT_TRUE(server.Finish()) << server.Failures();
}

TEST(ScriptServer, AcceptTakesSecondConnection) {
  ScriptServer server;
  server.Send("one\r\n").Close().Accept().Send("two\r\n").Close();
  server.Start();
  int a = ConnectTo(server.Port());
  EXPECT_EQ(ReadToEnd(a), "one\r\n");
  close(a);
  int b = ConnectTo(server.Port());
  EXPECT_EQ(ReadToEnd(b), "two\r\n");
  close(b);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  EXPECT_EQ(server.Connections(), 2);
}

TEST(ScriptServer, ClientCloseDuringReadIsAFailure) {
  ScriptServer server;
  server.ExpectLine("QUIT\r\n");
  server.Start();
  int fd = ConnectTo(server.Port());
  close(fd);
  EXPECT_FALSE(server.Finish());
  EXPECT_NE(server.Failures().find("closed by the client"), std::string::npos) << server.Failures();
}

TEST(ScriptServer, ReadTimeoutIsAFailure) {
  ScriptServer server;
  server.SetReadTimeout(100).ExpectLine("HELO\r\n");
  server.Start();
  int fd = ConnectTo(server.Port());
  EXPECT_FALSE(server.Finish());
  EXPECT_NE(server.Failures().find("time-out"), std::string::npos) << server.Failures();
  close(fd);
}

TEST(ScriptServer, StallAndDestroyWhileWaiting) {
  // Destroying a server in the middle of a stall or a long pause must not hang.
  int fd;
  {
    ScriptServer server;
    server.Stall();
    server.Start();
    fd = ConnectTo(server.Port());
    SendString(fd, "ignored\r\n");
    EXPECT_TRUE(server.Finish());
    EXPECT_EQ(server.Received(), "");
  }
  EXPECT_EQ(ReadToEnd(fd), "");
  close(fd);
  ScriptServer paused;
  paused.Pause(60000).Send("late\r\n");
  paused.Start();
}

TEST(ScriptServer, KeepsRecordingAfterScript) {
  ScriptServer server;
  server.Send("+OK\r\n");
  server.Start();
  int fd = ConnectTo(server.Port());
  EXPECT_TRUE(server.Finish()) << server.Failures();
  SendString(fd, "QUIT\r\n");
  close(fd);
  for (int i = 0; i < 500 && server.Received().empty(); i++) usleep(10000);
  EXPECT_EQ(server.Received(), "QUIT\r\n");
}

TEST(ScriptServer, ClosedPortRefuses) {
  uint16_t port = ClosedLoopbackPort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(ClosedLoopbackPort(), port);
  EXPECT_EQ(ConnectTo(port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(ScriptServer, FileHelpers) {
  std::string dir = TestDirectory("fixture-files");
  WriteFileText(dir + "/a.txt", std::string("x\0y\r\n", 5));
  EXPECT_EQ(ReadFileText(dir + "/a.txt"), std::string("x\0y\r\n", 5));
  EXPECT_EQ(ReadFileText(dir + "/missing"), "");
  EXPECT_EQ(ReadFileText(TestDirectory("fixture-files") + "/a.txt"), "");  // fresh and empty again
}

}  // namespace
