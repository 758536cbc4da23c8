// A temporary installation for writing sections into, with message boxes recorded and answered
// from a queue (cancel when it is empty).
#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "package/update_sec.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "tests/support/test_files.h"

namespace testsupport {

class SectionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.Path() + "/game/";
    MakeDirs(root_ + "data");
    platform::SetMessageBoxHandler([this](const platform::MessageBoxRequest& r) {
      boxes_.push_back(r);
      if (onBox_) onBox_();
      if (answers_.empty()) return static_cast<int>(platform::kIdCancel);
      int a = answers_.front();
      answers_.pop_front();
      return a;
    });
  }
  void TearDown() override { platform::SetMessageBoxHandler(nullptr); }

  bool Apply(const std::string& record) {
    return ApplyUpdateSec("p1.pkg", root_, reinterpret_cast<const unsigned char*>(record.data()));
  }
  std::string Read(const std::string& rel) {
    std::string s;
    EXPECT_TRUE(ReadFile(root_ + rel, &s)) << rel;
    return s;
  }
  std::vector<std::string> Entries(const std::string& rel) {
    std::vector<std::string> names;
    platform::FindData d;
    void* s = platform::FindFirst(root_ + rel + "/*", &d);
    if (!s) return names;
    do {
      if (d.name != "." && d.name != "..") names.push_back(d.name);
    } while (platform::FindNext(s, &d));
    platform::FindClose(s);
    return names;
  }

  TempDir dir_;
  std::string root_;
  std::vector<platform::MessageBoxRequest> boxes_;
  std::deque<int> answers_;
  std::function<void()> onBox_;
};

}  // namespace testsupport
