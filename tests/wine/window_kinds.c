// A game with every kind of window a window watcher must tell apart: a message-only window, a hidden one, a 1x1
// one and a minimised one, which must pass unseen, and one real window titled "Watched<TAB>Game " and e-acute hundreds
// of times, which counts. It talks with the test through files in C:\: it makes C:\windows-shown once all are there,
// destroys the real window once C:\destroy-window exists, and ends once C:\quit exists.
#include <windows.h>

static LRESULT CALLBACK onMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

static BOOL exists(const WCHAR* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  (void)show;
  WNDCLASSW windowClass = {0};
  windowClass.lpfnWndProc = onMessage;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"WindowKinds";
  if (!RegisterClassW(&windowClass)) return 1;
  const HWND messageOnly =
      CreateWindowExW(0, L"WindowKinds", L"Message-only", 0, 0, 0, 320, 240, HWND_MESSAGE, NULL, instance, NULL);
  const HWND hidden =
      CreateWindowExW(0, L"WindowKinds", L"Hidden", WS_OVERLAPPEDWINDOW, 40, 40, 320, 240, NULL, NULL, instance, NULL);
  const HWND tiny =
      CreateWindowExW(0, L"WindowKinds", L"Tiny", WS_POPUP | WS_VISIBLE, 0, 0, 1, 1, NULL, NULL, instance, NULL);
  const HWND minimised = CreateWindowExW(0, L"WindowKinds", L"Minimised", WS_OVERLAPPEDWINDOW, 40, 40, 320, 240, NULL,
                                         NULL, instance, NULL);
  // Longer than a line of the watcher's can hold.
  WCHAR title[640] = L"Watched\tGame ";
  for (int at = lstrlenW(title); at < 639; ++at) title[at] = L'\u00e9';
  title[639] = 0;
  HWND real =
      CreateWindowExW(0, L"WindowKinds", title, WS_OVERLAPPEDWINDOW, 60, 60, 320, 240, NULL, NULL, instance, NULL);
  if (messageOnly == NULL || hidden == NULL || tiny == NULL || minimised == NULL || real == NULL) return 1;
  ShowWindow(minimised, SW_SHOWMINNOACTIVE);
  ShowWindow(real, SW_SHOWNORMAL);
  CloseHandle(CreateFileW(L"C:\\windows-shown", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));

  SetTimer(NULL, 0, 100, NULL);
  MSG message;
  while (GetMessageW(&message, NULL, 0, 0) > 0) {
    if (message.message == WM_TIMER && real != NULL && exists(L"C:\\destroy-window")) {
      DestroyWindow(real);
      real = NULL;
    }
    if (message.message == WM_TIMER && exists(L"C:\\quit")) break;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
