#include "update/net/report.h"

#include <gtest/gtest.h>

namespace {

// The report names eight fields, in one order, whatever the outcome holds: the words for the user
// (which may name the device's data) never leave the PC, and a value cannot add a field of its own.
TEST(OutcomeReport, EightFieldsEncodedAndNothingElse) {
  struct Row {
    zt::Outcome outcome;
    const char* path;
  };
  for (const Row& r : {
           Row{{"data", "failed", "2002", "2001", "7", "not-taken", "设备数据仍为 2001"},
               "/autoupdate/"
               "report?tool=2.7&cpu=x64&what=data&result=failed&version=2002&from=2001&seq=7&cause=not-taken"},
           Row{{"updater", "rolled-back", "2.8", "2.7", "", "no-confirmation", "x"},
               "/autoupdate/report?tool=2.7&cpu=x64&what=updater&result=rolled-back&version=2.8&from=2.7&seq=&cause="
               "no-confirmation"},
           Row{{"server", "refused", "20&02=x", "", "9 9", "not-signed", "y"},
               "/autoupdate/report?tool=2.7&cpu=x64&what=server&result=refused&version=20%2602%3Dx&from=&seq=9%209&"
               "cause=not-signed"},
           Row{{"data", "ok", "版本", "", "", "none", ""},
               "/autoupdate/"
               "report?tool=2.7&cpu=x64&what=data&result=ok&version=%E7%89%88%E6%9C%AC&from=&seq=&cause=none"},
       }) {
    EXPECT_EQ(zt::ReportPath(r.outcome, "2.7", "x64"), r.path);
  }
}

}  // namespace
