#include "base/cmdline.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/autorun.h"
#include "ui/window_logic.h"

namespace {

// The main window's start-up reading of its command line: the count, then argument 1.
bool StartsHidden(const std::string& line) {
  const int count = zt::GetArgCountOf(line);
  return zt::DecideStartMode(count, count >= 1 ? zt::GetArgOf(line, 1) : std::string()) == zt::StartMode::Hidden;
}

struct CmdCase {
  std::string line;
  int count;
  std::string arg0, arg1, arg2;
};

TEST(AppCmdline, CountAndSplitByTheByteRules) {
  const CmdCase cases[] = {
      {R"("C:\app\tool.exe" /autohide)", 1, R"(C:\app\tool.exe)", "/autohide", ""},
      {R"(C:\app\tool.exe /autohide)", 1, R"(C:\app\tool.exe)", "/autohide", ""},
      {R"("C:\app\tool.exe")", 1, R"(C:\app\tool.exe)", "", ""},
      {R"(C:\app\tool.exe)", 0, R"(C:\app\tool.exe)", "", ""},
      {"x /autohide ", 2, "x", "/autohide", ""},  // trailing space counts the last word
      {"x y", 1, "x", "y", ""},                   // one-byte last argument
      {R"("a" "b")", 2, "a", "b", ""},
      {R"(C:\my app\tool.exe /autohide)", 2, R"(C:\my)", R"(app\tool.exe)", "/autohide"},
      {"", 0, "", "", ""},
      {"x\t/autohide", 0, "x\t/autohide", "", ""},  // a tab does not separate
      {"x  /autohide", 1, "x", "/autohide", ""},    // two spaces, no empty argument
      {" x y", 1, "x", "y", ""},                    // leading space
      {R"(a"b c"d)", 1, "", R"(b c"d)", ""},        // glued quotes: the quote opens argument 1
      {R"(x "a b")", 2, "x", "a b", ""},            // closing quote is the last byte
      {R"("" x)", 1, "", "x", ""},                  // empty quoted argument
      {R"("C:\a b)", 1, "", "", ""},                // unclosed quote never completes
      {"\"", 1, "", "", ""},
      {" ", 0, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("line [" + c.line + "]");
    EXPECT_EQ(zt::GetArgCountOf(c.line), c.count);
    EXPECT_EQ(zt::GetArgOf(c.line, 0), c.arg0);
    EXPECT_EQ(zt::GetArgOf(c.line, 1), c.arg1);
    EXPECT_EQ(zt::GetArgOf(c.line, 2), c.arg2);
    EXPECT_EQ(zt::GetArgOf(c.line, 7), "");
    EXPECT_EQ(zt::GetArgOf(c.line, -1), "");
  }
}

TEST(AppCmdline, HiddenStartLooksAtArgumentOneLowerCased) {
  const struct {
    std::string line;
    bool hidden;
  } cases[] = {
      {R"("C:\app\tool.exe" /autohide)", true},
      {R"("C:\app\tool.exe" /AUTOHIDE)", true},
      {R"(C:\app\tool.exe /AutoHide)", true},
      {"tool.exe --no-autohide-x", true},  // "contains" is the rule
      {R"("C:\app\tool.exe")", false},
      {R"(C:\app\tool.exe)", false},
      {R"(C:\my app\tool.exe /autohide)", false},  // unquoted path with a blank loses the switch
      {"x\t/autohide", false},                     // count 0: arguments are not looked at
      {R"("C:\app\tool.exe" /auto hide)", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("line [" + c.line + "]");
    EXPECT_EQ(StartsHidden(c.line), c.hidden);
  }
}

TEST(AppCmdline, LaunchRequests) {
  const struct {
    std::string line;
    zt::LaunchRequest request;
  } cases[] = {
      {R"("C:\app\tool.exe" /exit)", zt::LaunchRequest::EndRunningInstance},
      {R"(C:\app\tool.exe /EXIT)", zt::LaunchRequest::EndRunningInstance},
      {R"("C:\app\tool.exe" /exit2)", zt::LaunchRequest::Run},  // the whole argument, not a part
      {R"("C:\app\tool.exe" x/exit)", zt::LaunchRequest::Run},
      {R"("C:\app\tool.exe" /autohide /exit)", zt::LaunchRequest::Run},
      {R"(C:\app\tool.exe)", zt::LaunchRequest::Run},  // count 0
      {R"("C:\a b\tool.exe" /autohide /replaced)", zt::LaunchRequest::RunAfterReplacement},
      {R"("C:\a b\tool.exe" /autohide /Replaced )", zt::LaunchRequest::RunAfterReplacement},
      {R"("C:\a b\tool.exe" /replaced)", zt::LaunchRequest::Run},  // only as argument 2
      {R"("C:\a b\tool.exe.ztnew" /autohide /replaced 1234 0123456789abcdef0123456789abcdef)",
       zt::LaunchRequest::RunAfterReplacement},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("line [" + c.line + "]");
    EXPECT_EQ(zt::DecideLaunchRequest(c.line), c.request);
  }
}

// The previous process and the event's random part, as the previous version writes them; anything
// else is a start of the earlier order (which names neither).
TEST(AppCmdline, ReplacedStartArguments) {
  const std::string token = "0123456789abcdef0123456789abcdef";
  const std::string exe = R"("C:\a b\中文\ZT_AutoUpdate.exe.ztnew" )";
  const std::string written = zt::ReplacedStartArguments({4294967295u, token});
  EXPECT_EQ(written, "/autohide /replaced 4294967295 " + token);
  const auto read = zt::ReadReplacedStart(exe + written);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->previousProcess, 4294967295u);
  EXPECT_EQ(read->token, token);
  EXPECT_TRUE(StartsHidden(exe + written));

  const struct {
    std::string arguments;
    bool read;
  } cases[] = {
      {"/autohide /replaced 1234 " + token, true},
      {"/autohide /replaced 1234 " + token + " ", true},
      {"/autohide /replaced", false},       // the earlier order
      {"/autohide /replaced 1234", false},  // no token
      {"/autohide /replaced 0 " + token, false},
      {"/autohide /replaced 01234 " + token, false},
      {"/autohide /replaced -1234 " + token, false},
      {"/autohide /replaced 4294967296 " + token, false},
      {"/autohide /replaced 1234 " + token.substr(1), false},
      {"/autohide /replaced 1234 " + token + "0", false},
      {"/autohide /replaced 1234 0123456789ABCDEF0123456789ABCDEF", false},
      {"/autohide /replaced 1234 0123456789abcdef0123456789abcdeg", false},
      {"/autohide /exit 1234 " + token, false},
      {"/exit /replaced 1234 " + token, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("[" + c.arguments + "]");
    EXPECT_EQ(zt::ReadReplacedStart(exe + c.arguments).has_value(), c.read);
  }
}

// The Run value quotes the path, so every path gives back itself as argument 0 and the switch as
// argument 1, blanks and Chinese folder names included.
TEST(AppCmdline, RunValueCommandKeepsPathAndSwitch) {
  const std::string paths[] = {
      R"(C:\app\tool.exe)",
      R"(C:\Program Files\ZT AutoUpdate\ZT_AutoUpdate.exe)",
      R"(C:\Program Files (x86)\安全 驾驶\ZT_AutoUpdate.exe)",
      R"(D:\a  b\c.exe)",
  };
  for (const auto& p : paths) {
    const std::string command = zt::BuildAutoRunCommand(p);
    SCOPED_TRACE(command);
    EXPECT_EQ(command, "\"" + p + "\" /autohide");
    EXPECT_EQ(zt::GetArgOf(command, 0), p);
    EXPECT_EQ(zt::GetArgOf(command, 1), "/autohide");
    EXPECT_TRUE(StartsHidden(command));
  }
}

}  // namespace
