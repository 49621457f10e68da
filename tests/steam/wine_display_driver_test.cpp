#include "steam/wine_display_driver.h"

#include <gtest/gtest.h>


namespace cs {
namespace {

TEST(WineDisplayDriver, TheDriverIsTheLibraryAMapLineEndsWith) {
  const std::string x11 = "7f3a00000000-7f3a00020000 r--p 00000000 fd:01 42   /usr/lib/wine/x86_64-unix/winex11.so\n";
  const std::string wayland = "7f3b00000000-7f3b00020000 r-xp 00000000 fd:01 43   /opt/p/x86_64-unix/winewayland.so\n";
  EXPECT_EQ(displayDriverInMaps(""), WineDisplayDriver::Unknown);
  EXPECT_EQ(displayDriverInMaps(x11), WineDisplayDriver::X11);
  EXPECT_EQ(displayDriverInMaps(x11 + wayland), WineDisplayDriver::Wayland);
  // A name that only contains the library's, and a library's name that is part of another file name, name none.
  EXPECT_EQ(displayDriverInMaps("7f3b0-7f3c0 r--p 0 fd:01 44 /tmp/winewayland.so.bak\n"), WineDisplayDriver::Unknown);
  EXPECT_EQ(displayDriverInMaps("7f3b0-7f3c0 r--p 0 fd:01 44 /tmp/notwinex11.so\n"), WineDisplayDriver::Unknown);
  EXPECT_EQ(displayDriverInMaps(wayland.substr(0, wayland.size() - 1)), WineDisplayDriver::Wayland);
}

TEST(WineDisplayDriver, AWineProcessNamesItsProgramAsWineWroteItsCommandLine) {
  EXPECT_EQ(windowsProgramName("C:\\windows\\system32\\explorer.exe /desktop"), "explorer.exe");
  EXPECT_EQ(windowsProgramName("\"Z:\\Games\\My Game\\GAME.EXE\" -windowed"), "game.exe");
  // The first program of a prefix keeps the unix path it was started by, blanks and all.
  EXPECT_EQ(windowsProgramName("/home/u/Steam/steamapps/common/Test Game/Game.exe 3000"), "game.exe");
  EXPECT_EQ(windowsProgramName("Z:\\g\\game.exe.bak"), "");
  EXPECT_EQ(windowsProgramName("\"unclosed.exe"), "");
  EXPECT_EQ(windowsProgramName(".exe"), "");
  EXPECT_EQ(windowsProgramName(""), "");
  // Wine's own programs lie below its Windows folder, in any case.
  EXPECT_TRUE(isWineProgramImage("C:\\WINDOWS\\system32\\explorer.exe"));
  EXPECT_FALSE(isWineProgramImage("Z:\\windows\\game.exe"));
  EXPECT_FALSE(isWineProgramImage("C:\\win"));
}

}  // namespace
}  // namespace cs
