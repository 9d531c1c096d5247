// The progress line stays inside the terminal's width, whatever the name.
#include "progress_line.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

TEST(ProgressLine, FitsEveryWidth) {
  const std::string names[] = {"a.bmp", "textures/some/deep/folder/ETC2RGBA_UNORM_sRGB_RGBA_T.pvr",
                               std::string(300, 'x') + ".pvr", "\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9-\xc3\xa9t\xc3\xa9.bmp"};
  for (const std::string& name : names) {
    for (int columns = 1; columns <= 200; ++columns) {
      for (unsigned percent : {0u, 42u, 100u}) {
        const std::string line = qzi_progress::line(name, percent, columns);
        SCOPED_TRACE(name + " at " + std::to_string(columns) + ": " + line);
        EXPECT_LT(line.size(), static_cast<size_t>(columns < 5 ? 5 : columns));
        EXPECT_NE(line.find(std::to_string(percent) + "%"), std::string::npos);
        // A multibyte character is never cut: no lead byte without its continuation.
        for (size_t i = 0; i < line.size(); ++i) {
          if (static_cast<unsigned char>(line[i]) == 0xC3) {
            ASSERT_LT(i + 1, line.size());
            EXPECT_EQ(static_cast<unsigned char>(line[i + 1]), 0xA9);
          }
        }
      }
    }
  }
}

TEST(ProgressLine, WideTerminalShowsNameAndFullBar) {
  EXPECT_EQ(qzi_progress::line("a.bmp", 50, 80), "a.bmp [###############...............]  50%");
  EXPECT_EQ(qzi_progress::line("a.bmp", 100, 80), "a.bmp [##############################] 100%");
}

TEST(ProgressLine, LongNameKeepsBothEnds) {
  const std::string name = "first/" + std::string(100, 'm') + "/last.pvr";
  const std::string line = qzi_progress::line(name, 10, 60);
  EXPECT_EQ(line.size(), 59u);
  EXPECT_EQ(line.rfind("first/", 0), 0u);
  EXPECT_NE(line.find("...mmm"), std::string::npos);
  EXPECT_NE(line.find("/last.pvr ["), std::string::npos);
  EXPECT_NE(line.find("[#.........]  10%"), std::string::npos) << "the bar keeps 10 cells";
}

TEST(ProgressLine, ColumnsFromTheEnvironmentOffATerminal) {
  // A test's standard input is no terminal: the variable decides, and 80 without it.
  setenv("COLUMNS", "37", 1);
  EXPECT_EQ(qzi_progress::terminal_columns(-1), 37);
  setenv("COLUMNS", "wide", 1);
  EXPECT_EQ(qzi_progress::terminal_columns(-1), 80);
  unsetenv("COLUMNS");
  EXPECT_EQ(qzi_progress::terminal_columns(-1), 80);
}

}  // namespace
