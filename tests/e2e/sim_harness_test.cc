// The harness on its own, without fwkit: exact statuses, signals, terminals, time limits, the call log.
#include "sim_harness.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace e2e {
namespace {

TEST(SimHarness, StatusesTerminalAndTimeLimit) {
  EXPECT_THROW(SimServer(R"({"functions": [{"address": "4:0.0", "class": "0x020000"}]})"), std::runtime_error);
  SimServer server(R"({"functions": []})");
  struct Case { const char* script; int status, signal; } cases[] = {
      {"cat; echo err >&2; exit 2", 2, 0},  // umockdev-run alone reports the next one as 2 too
      {"cat; echo err >&2; kill -INT $$", 128 + SIGINT, SIGINT},
      {"cat; echo err >&2; kill -KILL $$", 128 + SIGKILL, SIGKILL},
  };
  for (const Case& c : cases) {
    RunResult r = server.run_command({"sh", "-c", c.script}, "in");
    EXPECT_EQ(r.status, c.status) << c.script;
    EXPECT_EQ(r.signal, c.signal) << c.script;
    EXPECT_EQ(r.out + "|" + r.err, "in|err\n") << c.script;
  }
  RunResult tty = server.run_command_on_pty({"sh", "-c", "read a; read b; echo \"$a|$b\"; [ -t 0 ] && [ -t 2 ]"}, "x\n");
  EXPECT_EQ(tty.out, "x|\n");  // no echo, no "\r", end of file for every later read
  EXPECT_EQ(tty.status, 0);
  server.block_log();
  EXPECT_NE(server.run_command({"sh", "-c", "echo event >> mstflint.log"}).status, 0);
  server.set_timeout_ms(500);
  EXPECT_EQ(server.run_command({"sleep", "30"}).signal, SIGKILL);
}

TEST(SimHarness, SignalsCallsAndFirmware) {
  SimServer server(R"({"functions": [
    {"address": "0000:04:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "1.0.0", "psid": "MT_1"},
    {"address": "0000:07:00.0", "class": "0x020000", "vendor": "0x15b3", "device": "0x1017",
     "firmware": "16.26.1040", "psid": "MT_1", "burn": {"seconds": 10}}],
    "images": [{"file": "new.bin", "version": "16.28.2006", "psid": "MT_1"}]})");
  // To the program itself, then to the group: umockdev-run forwards SIGTERM to
  // the supervisor, which ignores it, so either way the tool gets it once.
  for (bool group : {false, true}) {
    SimServer::Background run =
        server.start_command({"./nic_fw/mstflint", "-y", "-d", "0000:07:00.0", "-i", "./nic_fw/new.bin", "b"});
    ASSERT_TRUE(server.wait_for_calls(group ? 2 : 1, 20000));
    group ? run.signal_group(SIGTERM) : run.signal(SIGTERM);
    RunResult r = run.wait();
    EXPECT_EQ(r.status, 128 + SIGTERM) << group;
    EXPECT_EQ(r.signal, SIGTERM) << group;
  }
  EXPECT_EQ(server.firmware("0000:07:00.0"), "16.26.1040");
  EXPECT_EQ(server.firmware("0000:04:00.0"), "1.0.0");
  EXPECT_EQ(server.firmware("0000:99:00.0"), "");

  // Not UTF-8, then two characters that are (umockdev-run takes UTF-8 arguments only).
  server.run_command({"sh", "-c", R"x(./nic_fw/mstflint -d "$(printf '\377\303\251\360\237\230\200')" q)x"});
  std::vector<ToolCall> calls = server.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].tool, "mstflint");
  EXPECT_EQ(calls[2].argv, (std::vector<std::string>{"-d", "\xff\xc3\xa9\xf0\x9f\x98\x80", "q"}));
  EXPECT_EQ(calls[2].stdout_kind, "pipe");
}

}  // namespace
}  // namespace e2e
