#include "model/x11_idle.h"

#include <QGuiApplication>

// Xlib's macros (None, Bool, Status…) would clash with Qt's names: included after Qt's headers,
// in a file of their own.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace tessela {

std::optional<double> x11IdleSeconds() {
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = application != nullptr
                    ? application->nativeInterface<QNativeInterface::QX11Application>()
                    : nullptr;
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr) {
        return std::nullopt;
    }
    int eventBase = 0;
    int errorBase = 0;
    if (XScreenSaverQueryExtension(display, &eventBase, &errorBase) == 0) {
        return std::nullopt;
    }
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    if (info == nullptr) {
        return std::nullopt;
    }
    std::optional<double> seconds;
    if (XScreenSaverQueryInfo(display, DefaultRootWindow(display), info) != 0) {
        seconds = static_cast<double>(info->idle) / 1000.0;
    }
    XFree(info);
    return seconds;
}

}  // namespace tessela
