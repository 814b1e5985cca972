// What the documentation promises: README's runnable command blocks run as
// written, and the install and the Debian package carry what they should.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <sstream>
#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

struct block {
  std::string section;
  std::string marker;  // "runnable" or "runnable: background"
  std::string code;
};

// The fenced blocks of the README preceded by a <!-- runnable ... --> comment.
std::vector<block> runnable_blocks() {
  std::istringstream in(read_file(source_dir() + "/README.md"));
  std::vector<block> blocks;
  std::string line, section, marker;
  bool in_code = false;
  block current;
  while (std::getline(in, line)) {
    if (in_code) {
      if (line.rfind("```", 0) == 0) {
        in_code = false;
        if (!current.marker.empty()) blocks.push_back(current);
      } else {
        current.code += line + "\n";
      }
      continue;
    }
    if (line.rfind("## ", 0) == 0) section = line.substr(3);
    if (line.rfind("<!-- runnable", 0) == 0) {
      marker = line.substr(5, line.find(" -->") - 5);
      continue;
    }
    if (line.rfind("```", 0) == 0) {
      in_code = true;
      current = {section, marker, ""};
      marker.clear();
      continue;
    }
    if (!line.empty()) marker.clear();
  }
  return blocks;
}

int run_shell(const std::string &script, const std::string &out, int timeout_ms) {
  pid_t pid = spawn({"/bin/bash", "-c", "cd '" + source_dir() + "' && " + script}, {0, out});
  int status = -1;
  if (!wait_exit(pid, timeout_ms, &status)) kill_and_reap(pid);
  return status;
}

TEST(Readme, RunnableBlocksOfQuickStartAndTryItWork) {
  std::vector<block> blocks = runnable_blocks();
  ASSERT_GE(blocks.size(), 2u);
  std::string dir = make_temp_dir("readme");
  for (const block &b : blocks) {
    SCOPED_TRACE(b.section + ": " + b.code);
    ASSERT_TRUE(b.section == "Quick start" || b.section == "Try it");
    // The suite itself is never one of them: it would run itself for ever.
    ASSERT_EQ(b.code.find("test.sh"), std::string::npos);
    if (b.marker == "runnable: background") {
      // A long-running command: it must bring sealgate up on its default port.
      pid_t pid = spawn({"/usr/bin/setsid", "/bin/bash", "-c", "cd '" + source_dir() + "' && " + b.code},
                        {0, dir + "/background.txt"});
      int fd = -1;
      for (int i = 0; i < 3000 && fd < 0; i++) {  // it may build first
        usleep(100000);
        fd = connect_tcp(8086);
      }
      EXPECT_GE(fd, 0) << read_file(dir + "/background.txt");
      if (fd >= 0) close(fd);
      kill(-pid, SIGTERM);
      int status = 0;
      if (!wait_exit(pid, 10000, &status)) kill_and_reap(pid);
      continue;
    }
    std::string out = dir + "/out.txt";
    EXPECT_EQ(run_shell(b.code, out, 600000), 0) << read_file(out);
    if (b.section == "Try it") {
      EXPECT_NE(read_file(out).find("HTTP/1.0 200 ok"), std::string::npos) << read_file(out);
    }
  }
  remove_tree(dir);
}

std::vector<std::string> files_below(const std::string &root, const std::string &prefix = "") {
  std::vector<std::string> found;
  DIR *d = opendir((root + "/" + prefix).c_str());
  if (d == nullptr) return found;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (e->d_type == DT_DIR) {
      auto below = files_below(root, relative);
      found.insert(found.end(), below.begin(), below.end());
    } else {
      found.push_back(relative);
    }
  }
  closedir(d);
  std::sort(found.begin(), found.end());
  return found;
}

TEST(Install, InstallsTheTwoProgramsAndTheirManPagesOnly) {
  std::string dir = make_temp_dir("install");
  std::string out = dir + "/out.txt";
  ASSERT_EQ(run_shell("cmake --install '" + std::string(SEALGATE_BINARY_DIR) + "' --prefix '" + dir + "/prefix'", out,
                      60000),
            0)
      << read_file(out);
  EXPECT_EQ(files_below(dir + "/prefix"),
            (std::vector<std::string>{"bin/sealgate", "bin/sealgate-connect", "share/man/man1/sealgate-connect.1",
                                      "share/man/man8/sealgate.8"}));
  remove_tree(dir);
}

TEST(Install, DebianPackageRunsFromATemporaryRoot) {
  std::string dir = make_temp_dir("deb");
  std::string out = dir + "/out.txt";
  ASSERT_EQ(run_shell("cpack -G DEB --config '" + std::string(SEALGATE_BINARY_DIR) + "/CPackConfig.cmake' -B '" + dir +
                          "/pkg' >/dev/null && dpkg-deb -f '" + dir + "/pkg/'sealgate_*_amd64.deb Depends && dpkg -x '" +
                          dir + "/pkg/'sealgate_*_amd64.deb '" + dir + "/root'",
                      out, 120000),
            0)
      << read_file(out);
  EXPECT_EQ(read_file(out), "libssl3, libjansson4\n");
  std::string usage = dir + "/usage.txt";
  EXPECT_EQ(run_shell("'" + dir + "/root/usr/bin/sealgate' -h", usage, 10000), 1);
  EXPECT_EQ(read_file(usage).rfind("Sealgate Server\n------------------------\nusage: sealgate -sh <socket host>", 0), 0u);
  remove_tree(dir);
}

}  // namespace
