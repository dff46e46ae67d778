// Hotkey probe: grabs one key combination on the root window and reports every X event that the
// grab brings in. The same source is built twice; the compile definition picks the variant:
//   KEYGRAB_F12     Shift+Control+F12, modifiers matched exactly
//   KEYGRAB_SCROLL  Scroll_Lock with any modifiers held
//
// Output goes to stdout, one value a line, so that a reader on the other end of a pipe can follow
// it while the program runs. The program takes no arguments and runs until it is killed.

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#if defined(KEYGRAB_F12) && !defined(KEYGRAB_SCROLL)
constexpr const char *program_name = "keygrab_f12";
constexpr KeySym grab_keysym = XK_F12;                           // 0xFFC9
constexpr unsigned int grab_modifiers = ShiftMask | ControlMask; // 5
#elif defined(KEYGRAB_SCROLL) && !defined(KEYGRAB_F12)
constexpr const char *program_name = "keygrab_scroll";
constexpr KeySym grab_keysym = XK_Scroll_Lock;       // 0xFF14
constexpr unsigned int grab_modifiers = AnyModifier; // 0x8000
#else
#error "define exactly one of KEYGRAB_F12 or KEYGRAB_SCROLL"
#endif

// Each line must reach a reader as soon as it is complete when stdout is a terminal, a pipe or a
// socket; a regular file (or anything else) gets ordinary block buffering.
void choose_stdout_buffering() {
    struct stat st {};
    bool interactive = false;
    if (fstat(STDOUT_FILENO, &st) == 0) {
        interactive = (S_ISCHR(st.st_mode) && isatty(STDOUT_FILENO)) || S_ISFIFO(st.st_mode) ||
                      S_ISSOCK(st.st_mode);
    }
    if (interactive) {
        setvbuf(stdout, nullptr, _IOLBF, 0);
    } else {
        setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    }
}

} // namespace

int main() {
    choose_stdout_buffering();

    Display *display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        const char *name = XDisplayName(nullptr);
        if (name == nullptr || name[0] == '\0') {
            fprintf(stderr, "%s: cannot open display (DISPLAY is not set)\n", program_name);
        } else {
            fprintf(stderr, "%s: cannot open display \"%s\"\n", program_name, name);
        }
        return 1;
    }

    Window root = DefaultRootWindow(display);
    KeyCode keycode = XKeysymToKeycode(display, grab_keysym);
    printf("KeyCode: %u\n", static_cast<unsigned int>(keycode));

    // No error handler is installed: if another client already holds this combination the server
    // answers BadAccess, and Xlib's default handler reports it and exits. The status printed here
    // only says that the request was queued.
    int status =
        XGrabKey(display, keycode, grab_modifiers, root, True, GrabModeAsync, GrabModeAsync);
    printf("XGrabKey returned\n%d\n", status);

    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        printf("Got event\n%d\n", event.type);
        if (event.type == KeyPress) {
            printf(">>> %u\n", event.xkey.keycode);
        }
    }
}
