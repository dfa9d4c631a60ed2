#include "fixtures/smtp_helpers.h"

TEST_F(SmtpTest, Probe) {
  ScriptServer server;
  Greet(server);
  server.ExpectLine("QUIT\r\n").Send("221 bye\r\n").Close();
  server.Start();
  std::string log = OpenLog();
  EXPECT_EQ(Connect(server), 0);
  EXPECT_EQ(kelClose(0), 0);
  EXPECT_TRUE(server.Finish()) << server.Failures();
  printf("%s", ReadFileText(log).c_str());
  printf("----\n%s", NormalizeLog(ReadFileText(log)).c_str());
}
