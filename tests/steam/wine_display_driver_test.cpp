#include "steam/wine_display_driver.h"

#include <gtest/gtest.h>

#include "proc/process_snapshot.h"

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

TEST(WineDisplayDriver, AWindowsProgramsCommandLineNamesAnExe) {
  const auto runs = [](const std::string& commandLine) {
    ProcessInfo info;
    info.commandLine = commandLine;
    return runsWindowsProgram(info);
  };
  EXPECT_TRUE(runs("C:\\windows\\system32\\explorer.exe /desktop"));
  EXPECT_TRUE(runs("\"Z:\\Games\\My Game\\GAME.EXE\" -windowed"));
  EXPECT_TRUE(runs("game.exe"));
  EXPECT_FALSE(runs("/usr/bin/python3 proton waitforexitandrun game.exe"));
  EXPECT_FALSE(runs("\"unclosed.exe"));
  EXPECT_FALSE(runs(""));
}

}  // namespace
}  // namespace cs
