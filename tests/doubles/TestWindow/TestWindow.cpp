// tessaroll_test_window <title>
//   Opens one top-level window on DISPLAY titled <title> (both the UTF-8 and the legacy
//   name), states its own process id on it as a well-behaved client does, prints the
//   window id in hexadecimal once it has asked for it to be shown, and serves events until it is
//   ended.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <unistd.h>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <title>\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no display\n");
        return 3;
    }
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 200, 100,
                                              0, 0, WhitePixel(display, DefaultScreen(display)));
    XStoreName(display, window, argv[1]);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(argv[1]),
                    static_cast<int>(std::strlen(argv[1])));
    const long pid = getpid();
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapWindow(display, window);
    XSync(display, False);
    std::printf("0x%lx\n", window);
    std::fflush(stdout);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
    }
}
