// What the documentation promises: README's runnable blocks work as written
// and leave nothing running, and the install carries the two programs and
// their man pages (which show the reply's exact bytes).
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

// Each block marked <!-- runnable --> runs in a session of its own, on free
// ports in place of the documented ones, and must leave no process of that
// session and no listener behind: what it started is what answered.
TEST(Readme, RunnableBlocksWorkAndLeaveNothingRunning) {
  std::string readme = read_file(SEALGATE_SOURCE_DIR "/README.md");
  std::regex runnable("<!-- runnable(: background)? -->\n```sh\n([^`]*)```");
  int blocks = 0;
  for (std::sregex_iterator it(readme.begin(), readme.end(), runnable), end; it != end; ++it, ++blocks) {
    bool background = (*it)[1].matched;
    std::string sealgate_port = std::to_string(free_port()), server_port = std::to_string(free_port());
    std::string code = std::regex_replace((*it)[2].str(), std::regex("8086"), sealgate_port);
    code = std::regex_replace(code, std::regex("8443"), server_port);
    code = std::regex_replace(code, std::regex("\\./scripts/run\\.sh"), "./scripts/run.sh -sp " + sealgate_port);
    SCOPED_TRACE(code);
    ASSERT_EQ(code.find("test.sh"), std::string::npos);  // the suite must not run itself
    temp_dir dir("readme");
    pid_t pid = spawn({"/usr/bin/setsid", "/bin/bash", "-c", "cd " SEALGATE_SOURCE_DIR " && " + code},
                      {0, dir.path + "/out.txt"});
    int status = -1;
    if (background) {
      int fd = -1;
      for (int i = 0; i < 1200 && fd < 0; i++) {  // it may build first
        usleep(100000);
        fd = connect_tcp(std::stoi(sealgate_port));
      }
      EXPECT_GE(fd, 0) << read_file(dir.path + "/out.txt");
      close(fd);
      kill(-pid, SIGTERM);
      EXPECT_TRUE(wait_exit(pid, k_wait_ms, &status));
    } else {
      EXPECT_TRUE(wait_exit(pid, 120000, &status));
      EXPECT_EQ(status, 0);
      EXPECT_NE(read_file(dir.path + "/out.txt").find("HTTP/1.0 200 ok"), std::string::npos);
    }
    EXPECT_EQ(run_shell("for i in $(seq 100); do pgrep -s " + std::to_string(pid) + " || exit 0; sleep 0.02; done; exit 1"),
              0) << "the block left processes running";
    EXPECT_LT(connect_tcp(std::stoi(sealgate_port)), 0) << "something still listens on sealgate's port";
  }
  EXPECT_EQ(blocks, 2);
}

TEST(Install, TheProgramsAndManPagesThatShowTheExactReply) {
  temp_dir dir("install");
  std::string out, prefix = dir.path + "/prefix";
  ASSERT_EQ(run_shell("cmake --install " SEALGATE_BINARY_DIR " --prefix " + prefix + " && cd " + prefix +
                          " && find . -type f | sort",
                      &out),
            0);
  EXPECT_EQ(out.substr(out.find("./")),
            "./bin/sealgate\n./bin/sealgate-connect\n./share/man/man1/sealgate-connect.1\n./share/man/man8/sealgate.8\n");
  for (const char *page : {"man1/sealgate-connect.1", "man8/sealgate.8"}) {
    EXPECT_EQ(run_shell("groff -man -Tutf8 -P-cbou " + prefix + "/share/man/" + page, &out), 0);
    EXPECT_NE(out.find(k_status_reply), std::string::npos) << page;
  }
}

}  // namespace
