#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/logic/log_record.h"

namespace veltra::logic {
namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "/" + std::to_string(::getpid()) + name;
}

TEST(LogRecord, LinesEndInCrLfAndBytesStayAsTheyAre) {
  const std::string path = TempPath("record.txt");
  { std::ofstream(path) << "old content that must go\n"; }
  TLogRecord record;
  ASSERT_EQ(record.Start(path), "");
  record.Append("P1:Rec  x :\n");
  record.Append(std::string(" 80 FF 0D : \x80\xFF.\n", 16));
  record.Flush();
  EXPECT_EQ(FileText(path), std::string("P1:Rec  x :\r\n 80 FF 0D : \x80\xFF.\r\n", 30));
  // Much waiting goes out without a Flush.
  record.Append(std::string(TLogRecord::kWriteAt, 'x') + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_GT(st.st_size, static_cast<off_t>(TLogRecord::kWriteAt));
  record.Stop();
  EXPECT_FALSE(record.Active());
  std::remove(path.c_str());
}

TEST(LogRecord, AFullDiskStopsTheRecordWithOneReport) {
  TLogRecord record;
  std::vector<std::string> reports;
  record.OnStopped = [&](const std::string& reason) { reports.push_back(reason); };
  ASSERT_EQ(record.Start("/dev/full"), "");
  record.Append("one\n");
  record.Flush();
  record.Append("two\n");
  record.Flush();
  record.Stop();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "No space left on device");
  EXPECT_FALSE(record.Active());
}

}  // namespace
}  // namespace veltra::logic
