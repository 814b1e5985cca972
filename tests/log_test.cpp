// The log writer with its clock set by the test: names, the line prefix,
// levels, rotation by size and day, the start-up scan, outside text.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "support.h"

using namespace testing_support;

namespace {

timespec g_now;
timespec fake_clock() { return g_now; }

class LogWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    at(4, 10, 11, 12);
    log_set_clock(fake_clock);
  }
  void TearDown() override {
    log_reset_for_test();
    log_set_clock(nullptr);
  }
  // 2026-12-DAY hh:mm:ss.345 UTC
  void at(int day, int hour, int minute, int second) {
    tm t = {second, minute, hour, day, 11, 126, 0, 0, 0, 0, nullptr};
    g_now = {timegm(&t), 345000000};
  }
  std::string names() {  // the directory's entries, one a line, in name order
    std::string out;
    return run_shell("ls " + dir_.path, &out) == 0 ? out : "";
  }
  std::string file(const std::string &name) { return read_file(dir_.path + "/" + name); }
  void touch(const std::string &name, size_t size = 0) { write_file(dir_.path + "/" + name, std::string(size, 'x')); }
  void open(int size_limit, int level = LOG_DEBUG) {
    log_reset_for_test();
    init_log(dir_.path.c_str(), "sealgate", size_limit, level);
  }
  temp_dir dir_{"logunit"};
};

TEST_F(LogWriter, ALevelWritesItsOwnLinesAndTheLevelsBeforeIt) {
  const std::vector<std::pair<int, std::string>> cases = {{-1, ""}, {0, "I"}, {1, "IE"}, {2, "IEW"}, {3, "IEWD"}};
  for (const auto &[level, written] : cases) {
    SCOPED_TRACE(level);
    touch("sealgate.12042026_00000.log");
    open(1000000, level);
    for (log_level line : {LOG_INFO, LOG_ERROR, LOG_WARN, LOG_DEBUG}) LOG(line, "<%c>", "IEWD"[line]);
    std::string all = file("sealgate.12042026_00000.log"), seen;
    for (char mark : std::string("IEWD"))
      if (all.find(std::string("<") + mark + ">") != std::string::npos) seen += mark;
    EXPECT_EQ(seen, written);
  }
}

// The line that reaches the limit stays; the next opens the next number. An
// existing file is appended to and counts towards the limit. A new day begins
// at number zero.
TEST_F(LogWriter, RotatesBySizeAfterTheLineThatReachesTheLimitAndByDay) {
  touch("sealgate.12042026_00000.log", 40);
  open(150);
  LOG(LOG_INFO, "line one");  // each line is more than 50 and less than 110 bytes
  LOG(LOG_INFO, "line two");
  LOG(LOG_INFO, "line three");
  std::string first = file("sealgate.12042026_00000.log");
  EXPECT_EQ(first.substr(0, 40), std::string(40, 'x'));
  EXPECT_NE(first.find("line two"), std::string::npos);
  EXPECT_NE(file("sealgate.12042026_00001.log").find("line three"), std::string::npos);
  at(5, 0, 0, 1);
  LOG(LOG_INFO, "after midnight");
  EXPECT_EQ(file("sealgate.12042026_00001.log").find("after midnight"), std::string::npos);
  EXPECT_NE(file("sealgate.12052026_00000.log").find("12-05-2026 00:00:01.345 INFO  "), std::string::npos);
}

// A worker's lines leave together before it waits: each still lands in the
// file it was placed in, whole, once and in order, across rotations and a day.
TEST_F(LogWriter, GatheredLinesLandInTheFilesTheyWereWrittenTo) {
  open(300);
  log_gather_lines(true);
  for (int i = 0; i < 20; i++) LOG(LOG_INFO, "gathered %02d", i);
  at(5, 0, 0, 1);
  LOG(LOG_INFO, "after midnight");
  log_gather_lines(false);
  std::string all, list = names();
  std::istringstream lines(list);
  for (std::string name; std::getline(lines, name);) {
    if (name.rfind("sealgate.12042026_", 0) != 0) continue;
    std::string text = file(name);
    EXPECT_LT(text.size(), 300u + 110u) << name;  // the limit and one line at most
    EXPECT_EQ(text.back(), '\n') << name;
    all += text;
  }
  std::string expected, seen;
  for (int i = 0; i < 20; i++) expected += "gathered " + std::string(i < 10 ? "0" : "") + std::to_string(i) + ";";
  for (size_t pos = all.find("gathered "); pos != std::string::npos; pos = all.find("gathered ", pos + 1))
    seen += all.substr(pos, 11) + ";";
  EXPECT_EQ(seen, expected);
  EXPECT_NE(file("sealgate.12052026_00000.log").find("after midnight"), std::string::npos);
}

// Newest by the date and number in the name: December a year ago is older
// than today, though its names sort after today's.
TEST_F(LogWriter, StartUpKeepsTheSixtyNewestAndResumesTodaysNumber) {
  char name[64];
  for (int i = 0; i < 66; i++) {
    snprintf(name, sizeof name, "sealgate.12%02d2025_%05d.log", 10 + i / 3, i % 3);
    touch(name);
  }
  for (int day = 1; day <= 4; day++) touch("sealgate.110" + std::to_string(day) + "2026_00000.log");
  for (int seq = 0; seq <= 4; seq++) touch("sealgate.12042026_0000" + std::to_string(seq) + ".log", 10);
  touch("other.log");
  open(1000);
  std::string left = names();  // December 2025's 15 oldest went, other.log stays
  EXPECT_EQ(std::count(left.begin(), left.end(), '\n'), 61);
  EXPECT_NE(left.find("sealgate.11012026_00000.log\nsealgate.11022026"), std::string::npos);
  EXPECT_NE(left.find("sealgate.12042026_00004.log\nsealgate.12152025_00000.log\n"), std::string::npos);
  LOG(LOG_INFO, "resumed");
  EXPECT_NE(file("sealgate.12042026_00004.log").find("resumed"), std::string::npos);
  touch("sealgate.12042026_00004.log", 1000);  // full: a restart takes the next number
  open(1000);
  LOG(LOG_INFO, "next");
  EXPECT_NE(file("sealgate.12042026_00005.log").find("next"), std::string::npos);
}

// In a directory others may write (a WARN line says so), what they plant at
// the next names (a symlink, another user's file, a FIFO they read) is passed
// over untouched; an ERROR line in the file that opens names the first.
TEST_F(LogWriter, NamesPlantedInTheDirectoryArePassedOver) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's file";
  chmod(dir_.path.c_str(), 0777);
  open(300);
  LOG(LOG_INFO, "%s", std::string(300, 'f').c_str());  // fills the first file
  std::string at = dir_.path + "/sealgate.12042026_0000";
  touch("target");
  ASSERT_EQ(symlink((dir_.path + "/target").c_str(), (at + "1.log").c_str()), 0);
  touch("sealgate.12042026_00002.log");
  ASSERT_EQ(chown((at + "2.log").c_str(), 65534, 65534), 0);
  ASSERT_EQ(mkfifo((at + "3.log").c_str(), 0666), 0);
  int reader = ::open((at + "3.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  LOG(LOG_INFO, "past the planted names");
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0) << "a line went to the FIFO";
  close(reader);
  EXPECT_EQ(file("target") + file("sealgate.12042026_00002.log"), "");
  std::string next = file("sealgate.12042026_00004.log"), first = file("sealgate.12042026_00000.log");
  EXPECT_LT(next.find(" ERROR "), next.find("past the planted names"));
  EXPECT_NE(next.find(at + "1.log"), std::string::npos);
  EXPECT_NE(first.find(" WARN "), std::string::npos);
  EXPECT_NE(first.find(dir_.path), std::string::npos);
}

// A file near 2 GiB (sparse here) still rotates at a limit near INT_MAX.
TEST_F(LogWriter, SizesPastTwoGibibytesStillRotate) {
  touch("sealgate.12042026_00000.log");
  ASSERT_EQ(truncate((dir_.path + "/sealgate.12042026_00000.log").c_str(), 2147483000L), 0);
  open(2147483647);
  LOG(LOG_INFO, "%s", std::string(1000, 'x').c_str());
  LOG(LOG_INFO, "the next file");
  EXPECT_NE(file("sealgate.12042026_00001.log").find("the next file"), std::string::npos);
}

// The file name and the line prefix; text from outside (a request, a path,
// a URL) cannot start a line of its own, line breaks the program writes into
// its own formats stay.
TEST_F(LogWriter, LinesHaveTheirPrefixAndOutsideTextCannotForgeOne) {
  open(0);
  write_log(77, "my_function", LOG_WARN, "hello %s %d", "world", 42);
  LOG(LOG_ERROR, "Unable to parse json %s - %d", "{\"a\":\n12-04-2026 10:11:12.345 INFO  forged\x01\x7f\xe2\x80\xa8}", 7);
  LOG(LOG_INFO, "version - \n%s", "@(#) tag");
  LOG(LOG_ERROR, "Unable to parse json %s", std::string(4095, '\x01').c_str());  // still ends its line
  std::string x(8000, 'x');
  LOG(LOG_ERROR, "%s %s %s", x.c_str(), x.c_str(), x.c_str());  // cut at the buffer's end, and still ends its line
  LOG(LOG_INFO, "after the cut");
  ASSERT_EQ(names(), "sealgate.12042026_00000.log\n");
  std::string all = file("sealgate.12042026_00000.log"), pid = std::to_string(getpid());
  EXPECT_TRUE(std::regex_search(all, std::regex("^12-04-2026 10:11:12\\.345 WARN  \\[" + pid +
                                                ",\\d+\\] \\[my_function@77\\] hello world 42\n")));
  EXPECT_NE(all.find("json {\"a\":\\n12-04-2026 10:11:12.345 INFO  forged\\x01\\x7f\\u2028} - 7\n"), std::string::npos);
  EXPECT_NE(all.find("version - \n@(#) tag\n"), std::string::npos);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7);
  EXPECT_EQ(all.find("x12-04-2026"), std::string::npos) << "the line after the cut one was glued to it";
  EXPECT_EQ(all.back(), '\n');
}

}  // namespace
