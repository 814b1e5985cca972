// sealgate-connect: its exit codes, and the bytes it relays both ways.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

TEST(ConnectTool, ExitCodesTellUnreachableRefusedAndRelayed) {
  std::string tool = SEALGATE_CONNECT_BINARY;
  EXPECT_EQ(run_shell(tool + " --sealgate " + addr(free_port()) + " --server 127.0.0.1:1 </dev/null"), 2);
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  std::string to_sealgate = tool + " --sealgate " + addr(sg.port());
  EXPECT_EQ(run_shell(to_sealgate + " --server " + addr(free_port()) + " --skip-verify --seconds 5 </dev/null"), 3);
  tls_test_server server;
  std::string output;
  EXPECT_EQ(run_shell("printf 'echo me' | " + to_sealgate + " --server " + addr(server.port()) + " --skip-verify --eca --ca " +
                    shared_pki().path("root.pem") + " --linger 1",
                &output),
            0);
  EXPECT_EQ(output, "echo me");
  EXPECT_EQ(server.observations().at(0).sni, "ECA");
  // It asks for the server's identity unless told --insecure.
  tls_test_server stranger({.leaf = "selfsigned", .send_chain = false});
  std::string to_stranger = to_sealgate + " --server " + addr(stranger.port()) + " --skip-verify --linger 1 ";
  EXPECT_EQ(run_shell(to_stranger + "</dev/null"), 3);
  EXPECT_EQ(run_shell(to_stranger + "--insecure </dev/null"), 0);
  EXPECT_EQ(run_shell(tool + " --help"), 0);
  EXPECT_EQ(run_shell(tool + " --bogus"), 1);
}

}  // namespace
