// The log writer: file names, line format, levels, rotation by size and day,
// the start-up scan, the cut of over-long lines and the errno convention.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "support.h"

using namespace testing_support;

namespace {

struct timespec g_fake_now;
struct timespec fake_clock() { return g_fake_now; }

time_t local_time(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

std::vector<std::string> list_dir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class LogWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = make_temp_dir("logunit");
    set_now(2026, 12, 4, 10, 11, 12, 345);
    log_set_clock(fake_clock);
    log_reset_for_test();
  }
  void TearDown() override {
    log_reset_for_test();
    log_set_clock(nullptr);
    remove_tree(dir_);
  }
  void set_now(int year, int month, int day, int hour, int minute, int second, int ms) {
    g_fake_now.tv_sec = local_time(year, month, day, hour, minute, second);
    g_fake_now.tv_nsec = ms * 1000000L;
  }
  std::string file(const std::string &name) { return read_file(dir_ + "/" + name); }
  void touch(const std::string &name, size_t size = 0) { write_file(dir_ + "/" + name, std::string(size, 'x')); }
  std::string dir_;
};

TEST_F(LogWriter, NamesFileByDateAndSequenceAndFormatsThePrefix) {
  init_log(dir_.c_str(), "sealgate", 0, LOG_DEBUG);
  write_log(77, "my_function", LOG_WARN, "hello %s %d", "world", 42);
  ASSERT_EQ(list_dir(dir_), std::vector<std::string>{"sealgate.12042026_00000.log"});
  std::string line = file("sealgate.12042026_00000.log");
  std::regex expected(R"(12-04-2026 10:11:12\.345 WARN  \[\d+,\d+\] \[my_function@77\] hello world 42\n)");
  EXPECT_TRUE(std::regex_match(line, expected)) << line;
  char pid_field[32];
  snprintf(pid_field, sizeof pid_field, "[%d,", static_cast<int>(getpid()));
  EXPECT_NE(line.find(pid_field), std::string::npos);
}

TEST_F(LogWriter, LevelFilterFollowsTheProgramsOwnOrder) {
  struct {
    int configured;
    std::vector<std::string> written;
  } cases[] = {{1, {"INFO", "ERROR"}}, {0, {"INFO"}}, {2, {"INFO", "ERROR", "WARN"}}, {-1, {}}};
  for (auto &c : cases) {
    log_reset_for_test();
    remove_tree(dir_);
    dir_ = make_temp_dir("logunit");
    init_log(dir_.c_str(), "sealgate", 0, c.configured);
    LOG(LOG_INFO, "level-info");
    LOG(LOG_ERROR, "level-error");
    LOG(LOG_WARN, "level-warn");
    LOG(LOG_DEBUG, "level-debug");
    std::string all = file("sealgate.12042026_00000.log");
    for (const char *name : {"INFO", "ERROR", "WARN", "DEBUG"}) {
      bool expected = std::find(c.written.begin(), c.written.end(), name) != c.written.end();
      std::string lower = name;
      for (char &ch : lower) ch = static_cast<char>(tolower(ch));
      EXPECT_EQ(all.find("level-" + lower) != std::string::npos, expected) << "level " << c.configured << " " << name;
    }
  }
}

TEST_F(LogWriter, SizeLimitKeepsTheCrossingLineAndStartsTheNextNumber) {
  init_log(dir_.c_str(), "sealgate", 100, LOG_DEBUG);
  LOG(LOG_INFO, "line one");  // each line is more than 50 and less than 100 bytes
  LOG(LOG_INFO, "line two");
  LOG(LOG_INFO, "line three");
  ASSERT_EQ(list_dir(dir_), (std::vector<std::string>{"sealgate.12042026_00000.log", "sealgate.12042026_00001.log"}));
  std::string first = file("sealgate.12042026_00000.log");
  EXPECT_NE(first.find("line one"), std::string::npos);
  EXPECT_NE(first.find("line two"), std::string::npos);
  EXPECT_NE(file("sealgate.12042026_00001.log").find("line three"), std::string::npos);
}

TEST_F(LogWriter, ExistingFileIsAppendedAndCountsTowardsTheLimit) {
  touch("sealgate.12042026_00000.log", 90);
  init_log(dir_.c_str(), "sealgate", 100, LOG_DEBUG);
  LOG(LOG_INFO, "appended");
  LOG(LOG_INFO, "next file");
  std::string first = file("sealgate.12042026_00000.log");
  EXPECT_EQ(first.substr(0, 90), std::string(90, 'x'));
  EXPECT_NE(first.find("appended"), std::string::npos);
  EXPECT_NE(file("sealgate.12042026_00001.log").find("next file"), std::string::npos);
}

TEST_F(LogWriter, DayChangeStartsTheNewDateAtSequenceZero) {
  for (int i = 0; i <= 7; i++) touch("sealgate.12042026_0000" + std::to_string(i) + ".log");
  init_log(dir_.c_str(), "sealgate", 1000000, LOG_DEBUG);
  LOG(LOG_INFO, "before midnight");
  set_now(2026, 12, 5, 0, 0, 1, 0);
  LOG(LOG_INFO, "after midnight");
  EXPECT_NE(file("sealgate.12042026_00007.log").find("before midnight"), std::string::npos);
  std::string next_day = file("sealgate.12052026_00000.log");
  EXPECT_NE(next_day.find("12-05-2026 00:00:01.000 INFO"), std::string::npos);
  EXPECT_NE(next_day.find("after midnight"), std::string::npos);
}

TEST_F(LogWriter, StartupScanKeepsTheSixtyGreatestNames) {
  for (int day = 1; day <= 28; day++)
    for (int seq = 0; seq < 2; seq++) {
      char name[64];
      snprintf(name, sizeof name, "sealgate.11%02d2026_%05d.log", day, seq);
      touch(name);
    }
  for (int seq = 0; seq < 14; seq++) {
    char name[64];
    snprintf(name, sizeof name, "sealgate.10012026_%05d.log", seq);
    touch(name);
  }
  touch("other.log");
  mkdir((dir_ + "/sealgate.dir").c_str(), 0755);
  ASSERT_EQ(list_dir(dir_).size(), 56u + 14u + 2u);
  init_log(dir_.c_str(), "sealgate", 0, LOG_DEBUG);
  std::vector<std::string> left = list_dir(dir_);
  EXPECT_EQ(left.size(), 60u + 2u);
  // The ten smallest names were October's first ten.
  for (int seq = 0; seq < 10; seq++)
    EXPECT_EQ(std::count(left.begin(), left.end(), "sealgate.10012026_0000" + std::to_string(seq) + ".log"), 0);
  EXPECT_EQ(std::count(left.begin(), left.end(), "other.log"), 1);
  EXPECT_EQ(std::count(left.begin(), left.end(), "sealgate.dir"), 1);
}

TEST_F(LogWriter, RestartResumesTodaysLastNumberOrTheNextWhenFull) {
  for (int seq = 0; seq <= 4; seq++) touch("sealgate.12042026_0000" + std::to_string(seq) + ".log", 10);
  init_log(dir_.c_str(), "sealgate", 1000, LOG_DEBUG);
  LOG(LOG_INFO, "resumed");
  EXPECT_NE(file("sealgate.12042026_00004.log").find("resumed"), std::string::npos);

  log_reset_for_test();
  touch("sealgate.12042026_00004.log", 1000);
  init_log(dir_.c_str(), "sealgate", 1000, LOG_DEBUG);
  LOG(LOG_INFO, "full so next");
  EXPECT_NE(file("sealgate.12042026_00005.log").find("full so next"), std::string::npos);

  log_reset_for_test();  // without a limit every existing file counts as full
  init_log(dir_.c_str(), "sealgate", 0, LOG_DEBUG);
  LOG(LOG_INFO, "unlimited");
  EXPECT_NE(file("sealgate.12042026_00006.log").find("unlimited"), std::string::npos);
}

TEST_F(LogWriter, OverlongMessageIsCutAt16382BytesWithoutNewline) {
  init_log(dir_.c_str(), "sealgate", 0, LOG_DEBUG);
  std::string huge(20000, 'a');
  LOG(LOG_INFO, "%s", huge.c_str());
  LOG(LOG_INFO, "after");
  std::string all = file("sealgate.12042026_00000.log");
  size_t first_end = all.find("12-04-2026", 1);
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_EQ(first_end, 16382u);
  EXPECT_NE(all[16381], '\n');
  EXPECT_EQ(all.back(), '\n');
}

TEST_F(LogWriter, MissingDirectoryIsNeverCreatedAndLinesAreDropped) {
  std::string missing = dir_ + "/absent";
  init_log(missing.c_str(), "sealgate", 0, LOG_DEBUG);
  LOG(LOG_INFO, "dropped");
  struct stat st;
  EXPECT_NE(stat(missing.c_str(), &st), 0);
}

TEST_F(LogWriter, ErrnoConventionAddsTheTextAndRestoresErrno) {
  init_log(dir_.c_str(), "sealgate", 0, LOG_DEBUG);
  errno = ENOENT;
  LOG_ERRNO(LOG_ERROR, "Unable to create epoll fd");
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  LOG_ERRNO(LOG_ERROR, "epoll_wait error");
  EXPECT_EQ(errno, 0);
  std::string all = file("sealgate.12042026_00000.log");
  EXPECT_NE(all.find("ERROR ["), std::string::npos);
  EXPECT_NE(all.find("] Unable to create epoll fd - No such file or directory\n"), std::string::npos);
  EXPECT_NE(all.find("] epoll_wait error - errno not set\n"), std::string::npos);
  char buffer[ERROR_TEXT_SIZE];
  int result = 0;
  errno = ECONNREFUSED;
  EXPECT_STREQ(socket_error_text(buffer, &result), "Connection refused");
  EXPECT_EQ(result, ECONNREFUSED);
  EXPECT_STREQ(errno_text(EAGAIN, buffer), "Resource temporarily unavailable");
  EXPECT_EQ(errno_text(EAGAIN, nullptr), nullptr);
}

// Text from outside (a request, a path, a URL) cannot start a line of its
// own; line breaks the program writes into its own formats stay.
TEST_F(LogWriter, OutsideTextHasItsControlBytesEscaped) {
  init_log(dir_.c_str(), "sealgate", 0, LOG_DEBUG);
  LOG(LOG_ERROR, "Unable to parse json %s - %d", "{\"a\":\n12-04-2026 10:11:12.345 INFO  forged\x01\x7f}", 7);
  LOG(LOG_INFO, "version - \n%s", "@(#) tag");
  std::string all = file("sealgate.12042026_00000.log");
  EXPECT_NE(all.find("Unable to parse json {\"a\":\\n12-04-2026 10:11:12.345 INFO  forged\\x01\\x7f} - 7\n"),
            std::string::npos) << all;
  EXPECT_NE(all.find("version - \n@(#) tag\n"), std::string::npos) << all;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 3);
}

// A file near 2 GiB (sparse here) still rotates at a limit near INT_MAX.
TEST_F(LogWriter, SizesPastTwoGibibytesStillRotate) {
  std::string first = dir_ + "/sealgate.12042026_00000.log";
  write_file(first, "");
  ASSERT_EQ(truncate(first.c_str(), 2147483000L), 0);
  init_log(dir_.c_str(), "sealgate", 2147483647, LOG_DEBUG);
  LOG(LOG_INFO, "%s", std::string(1000, 'x').c_str());
  LOG(LOG_INFO, "the next file");
  EXPECT_NE(file("sealgate.12042026_00001.log").find("the next file"), std::string::npos);
}

}  // namespace
