// Entry of the update Windows tests (the glue links with -municode, so the program enters at wmain).
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
