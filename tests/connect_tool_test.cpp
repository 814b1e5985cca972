// sealgate-connect: exit codes and messages, and one relay through it.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

struct run_result {
  int status = -1;
  std::string output;
};

// Runs a shell command line with a time limit; stdout and stderr together.
run_result run(const std::string &command, const std::string &dir) {
  run_result result;
  std::string out = dir + "/out.txt";
  pid_t pid = spawn({"/bin/sh", "-c", command}, {0, out});
  if (!wait_exit(pid, 20000, &result.status)) kill_and_reap(pid);
  result.output = read_file(out);
  return result;
}

class ConnectTool : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir("tool"); }
  void TearDown() override { remove_tree(dir_); }
  std::string tool() { return connect_tool_binary(); }
  std::string dir_;
};

TEST_F(ConnectTool, UnreachableSealgateExitsTwo) {
  int port = free_port();
  run_result r = run(tool() + " --sealgate 127.0.0.1:" + std::to_string(port) + " --server 127.0.0.1:1 </dev/null", dir_);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "sealgate-connect: cannot reach sealgate at 127.0.0.1:" + std::to_string(port) +
                          ": Connection refused\n");
}

TEST_F(ConnectTool, RefusedRequestExitsThreeAndPointsAtTheLog) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  run_result r = run(tool() + " --sealgate 127.0.0.1:" + std::to_string(sg.port()) + " --server 127.0.0.1:" +
                         std::to_string(free_port()) + " --skip-verify --seconds 5 </dev/null",
                     dir_);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.output,
            "sealgate-connect: sealgate closed the connection without a reply: the request was refused (see sealgate's "
            "log)\n");
  // Its request carries every key, so sealgate logs no missing one.
  EXPECT_EQ(sg.log().find("Unable to find"), std::string::npos);
}

TEST_F(ConnectTool, RelaysAPageLikeNc) {
  tls_server_options options;
  options.mode = server_mode::http;
  tls_test_server server(options);
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  run_result r = run("printf 'GET / HTTP/1.0\\r\\n\\r\\n' | " + tool() + " --sealgate 127.0.0.1:" +
                         std::to_string(sg.port()) + " --server 127.0.0.1:" + std::to_string(server.port()) +
                         " --skip-verify --eca --ca " + shared_pki().path("root.pem"),
                     dir_);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n\r\nhello from the test server\n");
  auto seen = server.wait_observations(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].sni, "ECA");
}

TEST_F(ConnectTool, RawRequestFileAndHelp) {
  tls_test_server server({});
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  write_file(dir_ + "/request.json", request_json("127.0.0.1:" + std::to_string(server.port())));
  run_result r = run("printf 'echo me' | " + tool() + " --sealgate 127.0.0.1:" + std::to_string(sg.port()) +
                         " --request " + dir_ + "/request.json --linger 1",
                     dir_);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "echo me");
  r = run(tool() + " --help", dir_);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("usage: sealgate-connect --server HOST:PORT"), std::string::npos);
  r = run(tool() + " --bogus", dir_);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
