// The command-line host on POSIX systems: dlopen, isatty, nanosleep, and a
// look at a port that would not open: the device the driver's own port-name
// rule names, opened as the backend opens it, and who holds it when it is busy.
//
// Sections: driver library; host report; terminal and time; port diagnosis.
#if !defined(_WIN32)

#include "tools/tz52/host/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "serial/port_names.h"

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

// Installed, tz52 is in bin/ and the library in the multiarch lib folder
// (TZ52_LIBDIR_FROM_BINDIR says where it is from bin/), by its SONAME file:
// the plain .so link comes only with the development package. In a build
// tree the library is beside tz52.
#ifndef TZ52_LIBDIR_FROM_BINDIR
#define TZ52_LIBDIR_FROM_BINDIR "../lib"
#endif
#ifndef TZ52_INSTALLED_LIBRARY_NAME
#define TZ52_INSTALLED_LIBRARY_NAME "libtz52drv.so.1"
#endif

namespace {

bool IsFile(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The stand-in for the host's support library, which an installation keeps in
// a folder of its own so that it never takes the place of a host's own.
std::string InstalledHostLibraryPath() {
    return ExecutableFolder() + "/" TZ52_LIBDIR_FROM_BINDIR "/tz52drv/libzolvar.so";
}

}  // namespace

std::string DefaultDriverLibraryPath() {
    const std::string beside = ExecutableFolder() + "/" + kDriverLibraryFileName;
    const std::string installed = ExecutableFolder() + "/" TZ52_LIBDIR_FROM_BINDIR "/" TZ52_INSTALLED_LIBRARY_NAME;
    return !IsFile(beside) && IsFile(installed) ? installed : beside;
}

bool LoadDriverLibrary(const std::string& path, QmxMainFunction* entry, std::string* error) {
    // dlopen searches the library path for a bare file name; a name with a
    // slash is the file itself, which is what --lib means.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && IsFile(InstalledHostLibraryPath())) {
        // No host support library on the system: load the installed
        // stand-in first, so that the driver's reference to it is met by name.
        const std::string firstError = dlerror();
        if (dlopen(InstalledHostLibraryPath().c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) {
            library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (library == nullptr) {
            *error = firstError;
            return false;
        }
    }
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

bool SyncToDisk(FILE* stream) {
    if (std::fflush(stream) != 0) return false;
    if (fsync(fileno(stream)) == 0) return true;
    // EINVAL: a pipe, a terminal or a device such as /dev/null.
    return errno == EINVAL || errno == EROFS || errno == ENOTSUP;
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
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

namespace {

// "1234 (tz52sim)": a process and its program name, where the system shows it.
std::string DescribeProcess(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// The processes whose lock on the device file /proc/locks lists, by the
// file's device and inode: those that hold it as the driver holds a port.
std::set<long> LockHolders(const struct stat& device) {
    std::set<long> holders;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF"; a waiter's line has
        // "->" after the number.
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        fields >> number >> kind;
        if (kind == "->") fields >> kind;
        if (!(fields >> mode >> access >> pid >> file)) continue;
        unsigned major_number = 0, minor_number = 0;
        unsigned long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%lu", &major_number, &minor_number, &inode) != 3) continue;
        if (inode == device.st_ino && major_number == major(device.st_dev) && minor_number == minor(device.st_dev) &&
            pid > 0) {
            holders.insert(pid);
        }
    }
    return holders;
}

// The other processes with the device open, as far as /proc shows them (a
// program's descriptors are visible to its own user and to root).
std::set<long> ProcessesWithDeviceOpen(const struct stat& device) {
    std::set<long> openers;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return openers;
    const long self = static_cast<long>(getpid());
    while (const dirent* process = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) continue;
        const std::string folder = std::string("/proc/") + process->d_name + "/fd";
        DIR* descriptors = opendir(folder.c_str());
        if (descriptors == nullptr) continue;
        while (const dirent* descriptor = readdir(descriptors)) {
            struct stat target {};
            if (descriptor->d_name[0] == '.' || stat((folder + "/" + descriptor->d_name).c_str(), &target) != 0) continue;
            if (S_ISCHR(target.st_mode) && target.st_rdev == device.st_rdev) {
                openers.insert(pid);
                break;
            }
        }
        closedir(descriptors);
    }
    closedir(processes);
    return openers;
}

// Why a busy device is busy, naming the holders where the system shows them.
std::string BusyReason(const std::string& path, const std::string& how) {
    std::string reason = path + ": busy: another program holds it for exclusive use (" + how + ")";
    struct stat device {};
    if (stat(path.c_str(), &device) != 0) return reason;
    std::set<long> holders = LockHolders(device);
    if (holders.empty() && S_ISCHR(device.st_mode)) holders = ProcessesWithDeviceOpen(device);
    if (holders.empty()) return reason;
    std::string names;
    for (long pid : holders) names += (names.empty() ? "" : ", ") + DescribeProcess(pid);
    return reason + "; held by process " + names;
}

}  // namespace

std::string DiagnosePortOpen(const std::string& portName, int* systemError) {
    int unused = 0;
    if (systemError == nullptr) systemError = &unused;
    *systemError = 0;
    char devicePath[kDevicePathSize];
    if (PosixDevicePath(portName.c_str(), devicePath, sizeof devicePath) != 0) {
        *systemError = ENOENT;
        return "'" + portName + "' names no device";
    }
    const std::string path = devicePath;
    // Opened and held as the driver's backend does it: the tty's exclusive
    // flag turns the open away (EBUSY), the advisory lock the flock.
    const int descriptor = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        *systemError = errno;
        if (errno == EBUSY) return BusyReason(path, std::string("open: ") + std::strerror(EBUSY));
        return path + ": open: " + std::strerror(errno);
    }
    std::string reason;
    termios settings{};
    // Only the exact name "NUL" opens the null device without line settings.
    if (portName != "NUL") {
        if (flock(descriptor, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            reason = BusyReason(path, "its lock is taken");
            *systemError = EBUSY;
        } else if (tcgetattr(descriptor, &settings) != 0) {
            reason = path + ": not a serial line (tcgetattr: " + std::strerror(errno) + ")";
        }
    }
    close(descriptor);
    return reason;
}

#endif  // !_WIN32
