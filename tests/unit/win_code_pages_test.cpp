#include "win/code_pages.h"

#include <gtest/gtest.h>

namespace {

// Which flags a conversion into the console code page may pass: a flag that the code page refuses
// makes every conversion fail (and with it every self-update on that machine).
TEST(CodePages, FlagsEachConsoleCodePageAccepts) {
  struct Row {
    unsigned codePage;
    bool noBestFit, reportDefaultChar, refuseInvalid;
  };
  for (const Row& r : {Row{936, true, true, false}, Row{437, true, true, false}, Row{850, true, true, false},
                       Row{65001, false, false, true}, Row{54936, false, false, true}, Row{65000, false, false, false},
                       Row{50220, false, true, false}}) {
    SCOPED_TRACE(r.codePage);
    const zt::CodePageConversion c = zt::ConversionFor(r.codePage);
    EXPECT_EQ(c.noBestFit, r.noBestFit);
    EXPECT_EQ(c.reportDefaultChar, r.reportDefaultChar);
    EXPECT_EQ(c.refuseInvalid, r.refuseInvalid);
  }
}

}  // namespace
