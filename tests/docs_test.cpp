// What the documentation promises: README's runnable blocks work as written
// and leave nothing running, the install carries the two programs and their
// man pages (which show the reply's exact bytes), and the Debian package
// depends on the runtime libraries only.
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
  bool background;  // <!-- runnable: background -->: a service that runs until stopped
  std::string code;
};

// The fenced blocks of the README preceded by a <!-- runnable ... --> comment.
std::vector<block> runnable_blocks() {
  std::istringstream in(read_file(source_dir() + "/README.md"));
  std::vector<block> blocks;
  std::string line, section, marker;
  bool in_code = false;
  while (std::getline(in, line)) {
    if (in_code) {
      if (line.rfind("```", 0) == 0) in_code = false;
      else blocks.back().code += line + "\n";
      continue;
    }
    if (line.rfind("## ", 0) == 0) section = line.substr(3);
    if (line.rfind("<!-- runnable", 0) == 0) marker = line;
    else if (line.rfind("```", 0) == 0 && !marker.empty()) {
      in_code = true;
      blocks.push_back({section, marker.find("background") != std::string::npos, ""});
      marker.clear();
    } else if (!line.empty()) marker.clear();
  }
  return blocks;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// Processes of a session that have not ended.
int alive_in_session(pid_t session) {
  int count = 0;
  DIR *proc = opendir("/proc");
  while (struct dirent *e = proc ? readdir(proc) : nullptr) {
    std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    std::istringstream fields(stat.substr(end + 2));
    char state;
    long parent, group, sid;
    fields >> state >> parent >> group >> sid;
    if (sid == session && state != 'Z') count++;
  }
  if (proc) closedir(proc);
  return count;
}

// Each block runs in a session of its own, on free ports instead of the
// documented ones, and must leave no process of that session and no
// listener behind: what it started is what answered.
TEST(Readme, RunnableBlocksWorkAndLeaveNothingRunning) {
  std::vector<block> blocks = runnable_blocks();
  ASSERT_GE(blocks.size(), 2u);
  temp_dir dir("readme");
  for (block b : blocks) {
    SCOPED_TRACE(b.section + ": " + b.code);
    ASSERT_EQ(b.code.find("test.sh"), std::string::npos);  // the suite must not run itself
    int sealgate_port = free_port(), server_port = free_port();
    replace_all(b.code, "8086", std::to_string(sealgate_port));
    replace_all(b.code, "8443", std::to_string(server_port));
    if (b.background) replace_all(b.code, "./scripts/run.sh", "./scripts/run.sh -sp " + std::to_string(sealgate_port));
    std::string out = dir.path + "/out.txt";
    pid_t pid = spawn({"/usr/bin/setsid", "/bin/bash", "-c", "cd '" + source_dir() + "' && " + b.code}, {0, out});
    int status = -1;
    if (b.background) {
      int fd = -1;
      for (int i = 0; i < 1200 && fd < 0; i++) {  // it may build first
        usleep(100000);
        fd = connect_tcp(sealgate_port);
      }
      EXPECT_GE(fd, 0) << read_file(out);
      if (fd >= 0) close(fd);
      kill(-pid, SIGTERM);
      EXPECT_TRUE(wait_exit(pid, 10000, &status));
    } else {
      EXPECT_TRUE(wait_exit(pid, 600000, &status));
      EXPECT_EQ(status, 0) << read_file(out);
      EXPECT_NE(read_file(out).find("HTTP/1.0 200 ok"), std::string::npos) << read_file(out);
    }
    for (int i = 0; i < 100 && alive_in_session(pid) > 0; i++) usleep(20000);
    EXPECT_EQ(alive_in_session(pid), 0) << "the block left processes running";
    EXPECT_LT(connect_tcp(sealgate_port), 0) << "something still listens on sealgate's port";
    kill(-pid, SIGKILL);
  }
}

std::vector<std::string> files_below(const std::string &root, const std::string &prefix = "") {
  std::vector<std::string> found;
  DIR *d = opendir((root + "/" + prefix).c_str());
  while (struct dirent *e = d ? readdir(d) : nullptr) {
    std::string name = e->d_name, relative = prefix.empty() ? name : prefix + "/" + name;
    if (name == "." || name == "..") continue;
    if (e->d_type != DT_DIR) found.push_back(relative);
    else for (auto &below : files_below(root, relative)) found.push_back(below);
  }
  if (d) closedir(d);
  std::sort(found.begin(), found.end());
  return found;
}

int run_shell(const std::string &script, const std::string &out) {
  pid_t pid = spawn({"/bin/bash", "-c", script}, {0, out});
  int status = -1;
  if (!wait_exit(pid, 120000, &status)) kill_and_reap(pid);
  return status;
}

TEST(Install, ProgramsAndManPagesThatShowTheExactReply) {
  temp_dir dir("install");
  std::string out = dir.path + "/out.txt", prefix = dir.path + "/prefix";
  ASSERT_EQ(run_shell("cmake --install '" + std::string(SEALGATE_BINARY_DIR) + "' --prefix '" + prefix + "'", out), 0)
      << read_file(out);
  EXPECT_EQ(files_below(prefix), (std::vector<std::string>{"bin/sealgate", "bin/sealgate-connect",
                                                          "share/man/man1/sealgate-connect.1",
                                                          "share/man/man8/sealgate.8"}));
  for (const char *page : {"man1/sealgate-connect.1", "man8/sealgate.8"}) {
    SCOPED_TRACE(page);
    ASSERT_EQ(run_shell("groff -man -Tutf8 -P-cbou '" + prefix + "/share/man/" + page + "'", out), 0);
    EXPECT_NE(read_file(out).find(k_status_reply), std::string::npos) << read_file(out);
  }
}

TEST(Install, DebianPackageDependsOnTheRuntimeLibrariesOnly) {
  temp_dir dir("deb");
  std::string out = dir.path + "/out.txt";
  ASSERT_EQ(run_shell("cpack -G DEB --config '" + std::string(SEALGATE_BINARY_DIR) + "/CPackConfig.cmake' -B '" +
                          dir.path + "/pkg' >/dev/null && dpkg-deb -f '" + dir.path +
                          "/pkg/'sealgate_*_amd64.deb Depends && dpkg -x '" + dir.path + "/pkg/'sealgate_*_amd64.deb '" +
                          dir.path + "/root'",
                      out),
            0)
      << read_file(out);
  EXPECT_EQ(read_file(out), "libssl3, libjansson4\n");
  EXPECT_EQ(run_shell("'" + dir.path + "/root/usr/bin/sealgate' -h", out), 1);
  EXPECT_EQ(read_file(out).rfind("Sealgate Server\n", 0), 0u);
}

}  // namespace
