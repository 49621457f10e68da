// A stand-in for Cursello.exe that proves where it runs: it asks its wineserver for the test game's window by
// title and writes the answer to C:\cursello-found.txt, "found" or "not found". Only a companion that shares the
// game's wineserver can see that window. Its exit status tells the same (0 found, 1 not found, 2 no file).
#include <stdio.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  // The launcher starts it once a window of the game's shows, which may be another than the one looked for; ten
  // seconds are plenty for that one to follow. A wineserver of its own never shows it.
  HWND game = NULL;
  for (int tries = 0; game == NULL && tries < 100; ++tries) {
    if (tries > 0) Sleep(100);
    game = FindWindowW(NULL, L"Wine Test Game");
  }
  FILE* answer = fopen("C:\\cursello-found.txt", "wb");
  if (answer == NULL) return 2;
  fputs(game != NULL ? "found\n" : "not found\n", answer);
  fclose(answer);
  return game != NULL ? 0 : 1;
}
