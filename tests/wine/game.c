// A Windows game in miniature: one top-level window with a fixed title, shown until the window is closed. Given a
// number of milliseconds as its argument, it keeps the window hidden that long first, as a game that loads before
// it shows itself. It makes C:\game-shows-window just before it shows the window.
#include <stdlib.h>
#include <windows.h>

static LRESULT CALLBACK onMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  WNDCLASSW windowClass = {0};
  windowClass.lpfnWndProc = onMessage;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"WineTestGame";
  if (!RegisterClassW(&windowClass)) return 1;
  HWND window = CreateWindowExW(0, L"WineTestGame", L"Wine Test Game", WS_OVERLAPPEDWINDOW, 40, 40, 320, 240, NULL,
                                NULL, instance, NULL);
  if (window == NULL) return 1;
  const int hiddenFor = atoi(commandLine);
  if (hiddenFor > 0) Sleep((DWORD)hiddenFor);
  CloseHandle(CreateFileW(L"C:\\game-shows-window", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
  ShowWindow(window, show == 0 ? SW_SHOWNORMAL : show);
  MSG message;
  while (GetMessageW(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
