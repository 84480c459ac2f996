#include "Display.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string_view>

namespace {

// Connects to the X server as the toolkit would, through libxcb loaded at run
// time, so that an unreachable display is reported instead of aborting.
bool XServerReachable() {
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool ok = false;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* connection = connect(nullptr, nullptr);
        ok = connection != nullptr && hasError(connection) == 0;
        if (connection != nullptr) disconnect(connection);
    }
    dlclose(xcb);
    return ok;
}

}  // namespace

bool DisplayAvailable(std::string& reason) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0') {
        const std::string_view p(platform);
        // Platforms that need no display server, and explicit choices other
        // than X, are the user's to make.
        if (p.substr(0, 3) != "xcb") return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        reason = "no display: DISPLAY is not set";
        return false;
    }
    if (!XServerReachable()) {
        reason = std::string("cannot connect to display '") + display + "'";
        return false;
    }
    return true;
}
