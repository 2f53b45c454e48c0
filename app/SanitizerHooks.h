// Include once, in the file that holds a program's main().
#pragma once

#if defined(__SANITIZE_THREAD__)
// Qt, with its X11 platform plugin and the GLib and XCB libraries under it,
// is not built with the thread sanitizer. Its painting thread pool and its X
// event reader hand work over with locks the sanitizer cannot see, so the
// libraries' own allocations and copies look like races; only calls made from
// inside these libraries are left out, every access of the program's own code
// stays checked. Xlib destroys its display lock at exit while it holds it.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6XcbQpa.so.6\n"
           "called_from_lib:libxcb.so.1\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "mutex:libX11.so.6\n";
}
#endif

#if defined(__SANITIZE_ADDRESS__)
// Under X, Qt talks to the session bus through libdbus, which keeps a buffer
// for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so.3\n"; }
#endif
