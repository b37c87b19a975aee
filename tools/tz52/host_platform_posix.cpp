// The command-line host on POSIX systems: dlopen, isatty, nanosleep, and the
// device path rule of the termios backend (a bare name lives under /dev/).
//
// Sections: driver library; host report; terminal and time; port diagnosis.
#if !defined(_WIN32)

#include "tools/tz52/host_platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

const char kDriverLibraryFileName[] = "libtz52drv.so";

// ---- driver library ------------------------------------------------------

namespace {

void* g_driverLibrary = nullptr;

std::string ExecutableFolder() {
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) return ".";
    std::string text(path.data(), static_cast<size_t>(length));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace

std::string DefaultDriverLibraryPath() { return ExecutableFolder() + "/" + kDriverLibraryFileName; }

bool LoadDriverLibrary(const std::string& path, QmxMainFunction* entry, std::string* error) {
    // dlopen searches the library path for a bare file name; a name with a
    // slash is the file itself, which is what --lib means.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        *error = dlerror();
        return false;
    }
    void* symbol = dlsym(library, "QmxMain");
    if (symbol == nullptr) {
        *error = path + " has no QmxMain export";
        dlclose(library);
        return false;
    }
    g_driverLibrary = library;
    *entry = reinterpret_cast<QmxMainFunction>(symbol);
    return true;
}

std::string DriverLibraryVersion(const std::string& path) {
    // The installed name is a chain of links ending at the file that
    // carries the full version: libtz52drv.so.1.0.0.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return "";
    const std::string file = resolved;
    const std::string marker = std::string(kDriverLibraryFileName) + ".";
    const size_t at = file.rfind(marker);
    if (at == std::string::npos || file.find('/', at) != std::string::npos) return "";
    return file.substr(at + marker.size());
}

// ---- host report -----------------------------------------------------------

HostReportAccess FindHostReport() {
    HostReportAccess access{};
    if (g_driverLibrary == nullptr) return access;
    // The driver's handle reaches the libraries it depends on, the support
    // library among them.
    access.reportCount = reinterpret_cast<int (*)()>(dlsym(g_driverLibrary, "ZolvarReportCount"));
    access.lastMessage = reinterpret_cast<const char* (*)()>(dlsym(g_driverLibrary, "ZolvarLastMessage"));
    access.setEcho = reinterpret_cast<void (*)(int)>(dlsym(g_driverLibrary, "ZolvarSetEcho"));
    if (!access.reportCount || !access.lastMessage || !access.setEcho) access = HostReportAccess{};
    return access;
}

// ---- terminal and time ---------------------------------------------------------

bool CanRedrawInPlace(FILE* stream) {
    if (!isatty(fileno(stream))) return false;
    const char* terminal = getenv("TERM");
    return terminal != nullptr && std::strcmp(terminal, "dumb") != 0;
}

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

void SyncToDisk(FILE* stream) {
    std::fflush(stream);
    fsync(fileno(stream));
}

void SleepMilliseconds(int64_t milliseconds) {
    if (milliseconds <= 0) return;
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
    wait.tv_nsec = static_cast<long>((milliseconds % 1000) * 1000000);
    // An interrupting signal ends the wait early: the caller checks why.
    nanosleep(&wait, nullptr);
}

int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---- port diagnosis ----------------------------------------------------------------

std::string DiagnosePortOpen(const std::string& portName) {
    const std::string path = portName.empty() || portName[0] == '/' ? portName : "/dev/" + portName;
    const int descriptor = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return path + ": open: " + std::strerror(errno);
    std::string reason;
    termios settings{};
    if (tcgetattr(descriptor, &settings) != 0) reason = path + ": not a serial line (tcgetattr: " + std::strerror(errno) + ")";
    close(descriptor);
    return reason;
}

#endif  // !_WIN32
