// Looks at another program's window from outside, as a person sees it: the
// window's and its client area's places on the screen, and every control
// under it with its class, place, visibility and text. The GUI check of
// scripts/windows.sh finds the YES button with it and reads the screen's
// text, since the controls of a Wine window are no X windows of their own.
//   window_probe [--desktop NAME] TITLE
// Exit status: 0 found, 2 bad usage, 3 no window with that title.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string TextOf(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    return line;
}

void PrintPlace(const char* what, const RECT& r) {
    std::printf("%s %ld %ld %ld %ld", what, r.left, r.top, r.right - r.left, r.bottom - r.top);
}

BOOL CALLBACK PrintControl(HWND control, LPARAM) {
    RECT r;
    GetWindowRect(control, &r);
    char cls[128] = {};
    GetClassNameA(control, cls, sizeof cls);
    PrintPlace(IsWindowVisible(control) ? "control visible" : "control hidden", r);
    std::printf(" %s %s\n", cls, TextOf(control).c_str());
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    std::string title;
    const char* desktopName = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--desktop" && i + 1 < argc)
            desktopName = argv[++i];
        else
            title = argument;
    }
    if (title.empty()) {
        std::fprintf(stderr, "usage: window_probe [--desktop NAME] TITLE\n");
        return 2;
    }
    // A virtual desktop of Wine is a desktop of its own: its windows are
    // found only from a thread that has joined it.
    if (desktopName) {
        HDESK desktop = OpenDesktopA(desktopName, 0, FALSE, GENERIC_ALL);
        if (!desktop || !SetThreadDesktop(desktop)) {
            std::fprintf(stderr, "window_probe: cannot join the desktop '%s' (error %lu)\n",
                         desktopName, GetLastError());
            return 2;
        }
    }
    const HWND window = FindWindowA(nullptr, title.c_str());
    if (!window) {
        std::fprintf(stderr, "window_probe: no window titled '%s'\n", title.c_str());
        return 3;
    }
    RECT r;
    GetWindowRect(window, &r);
    PrintPlace("window", r);
    std::printf(" %s\n", IsWindowVisible(window) ? "visible" : "hidden");
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    PrintPlace("client", client);
    std::printf("\n");
    EnumChildWindows(window, PrintControl, 0);
    std::fflush(stdout);
    return 0;
}
