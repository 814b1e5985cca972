// sealgate-connect: its exit codes, and the bytes it relays both ways.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

int run(const std::string &command, std::string *output = nullptr) {
  temp_dir dir("tool");
  pid_t pid = spawn({"/bin/sh", "-c", command}, {0, dir.path + "/out.txt"});
  int status = -1;
  if (!wait_exit(pid, 2 * k_wait_ms, &status)) kill_and_reap(pid);
  if (output != nullptr) *output = read_file(dir.path + "/out.txt");
  return status;
}

TEST(ConnectTool, ExitCodesTellUnreachableRefusedAndRelayed) {
  std::string tool = SEALGATE_CONNECT_BINARY;
  EXPECT_EQ(run(tool + " --sealgate " + addr(free_port()) + " --server 127.0.0.1:1 </dev/null"), 2);
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string to_sealgate = tool + " --sealgate " + addr(sg.port());
  EXPECT_EQ(run(to_sealgate + " --server " + addr(free_port()) + " --skip-verify --seconds 5 </dev/null"), 3);
  tls_test_server server;
  std::string output;
  EXPECT_EQ(run("printf 'echo me' | " + to_sealgate + " --server " + addr(server.port()) + " --skip-verify --eca --ca " +
                    shared_pki().path("root.pem") + " --linger 1",
                &output),
            0);
  EXPECT_EQ(output, "echo me");
  EXPECT_EQ(server.observations().at(0).sni, "ECA");
  EXPECT_EQ(run(tool + " --help"), 0);
  EXPECT_EQ(run(tool + " --bogus"), 1);
}

}  // namespace
