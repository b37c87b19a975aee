// The command-line host on Windows: LoadLibrary, the console, Sleep, and a
// look at a port that would not open, at the device the driver's own
// port-name rule names (the driver adds the \\.\ prefix that COM10 and above
// need; a host passes the bare name).
//
// Sections: driver library; host report; terminal and time; port diagnosis.
#if defined(_WIN32)

#include "tools/tz52/host/platform.h"

#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "serial/port_names.h"

const char kDriverLibraryFileName[] = "tz52drv.dll";

// ---- driver library ------------------------------------------------------

namespace {

std::string SystemMessage(DWORD code) {
    char text[512] = {0};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error";
    return message + " (error " + std::to_string(code) + ")";
}

std::string ExecutableFolder() {
    std::vector<char> path(MAX_PATH * 4);
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return ".";
    std::string text(path.data(), length);
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace

std::string DefaultDriverLibraryPath() { return ExecutableFolder() + "\\" + kDriverLibraryFileName; }

bool LoadDriverLibrary(const std::string& path, QmxMainFunction* entry, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        *error = SystemMessage(GetLastError());
        return false;
    }
    // The export is undecorated; the decorated stdcall name is accepted too.
    FARPROC symbol = GetProcAddress(library, "QmxMain");
    if (symbol == nullptr) symbol = GetProcAddress(library, "_QmxMain@4");
    if (symbol == nullptr) {
        *error = path + " has no QmxMain export";
        FreeLibrary(library);
        return false;
    }
    *entry = reinterpret_cast<QmxMainFunction>(reinterpret_cast<void*>(symbol));
    return true;
}

std::string DriverLibraryVersion(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return "";
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return "";
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) return "";
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwFileVersionLS));
}

// ---- host report -----------------------------------------------------------

HostReportAccess FindHostReport() {
    HostReportAccess access{};
    HMODULE support = GetModuleHandleA("ZOLVAR.dll");
    if (support == nullptr) support = GetModuleHandleA("libzolvar.dll");
    if (support == nullptr) return access;
    access.reportCount =
        reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(support, "ZolvarReportCount")));
    access.lastMessage = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(support, "ZolvarLastMessage")));
    access.setEcho =
        reinterpret_cast<void (*)(int)>(reinterpret_cast<void*>(GetProcAddress(support, "ZolvarSetEcho")));
    if (!access.reportCount || !access.lastMessage || !access.setEcho) access = HostReportAccess{};
    return access;
}

// ---- terminal and time ---------------------------------------------------------

bool CanRedrawInPlace(FILE* stream) {
    if (!_isatty(_fileno(stream))) return false;
    HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    // Cursor movement needs the console's terminal sequences.
    const DWORD kVirtualTerminalProcessing = 0x0004;
    return SetConsoleMode(console, mode | kVirtualTerminalProcessing) != 0;
}

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

bool SyncToDisk(FILE* stream) {
    if (std::fflush(stream) != 0) return false;
    // EBADF: a console or a pipe, which has no disk to sync to.
    return _commit(_fileno(stream)) == 0 || errno == EBADF;
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
    // rename() does not replace an existing file on Windows; removing it
    // first would lose the old file when the move then fails.
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}

void SleepMilliseconds(int64_t milliseconds) {
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

int64_t MonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

// ---- port diagnosis ----------------------------------------------------------------

std::string DiagnosePortOpen(const std::string& portName, int* systemError) {
    if (systemError != nullptr) *systemError = 0;
    char devicePath[kDevicePathSize];
    if (WindowsDevicePath(portName.c_str(), devicePath, sizeof devicePath) != 0) {
        return "'" + portName + "' names no device";
    }
    const std::string path = devicePath;
    // Opened as the driver's backend opens it: for exclusive use.
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return path + ": busy: another program holds it for exclusive use (CreateFileA: " + SystemMessage(error) +
                   ")";
        }
        return path + ": CreateFileA: " + SystemMessage(error);
    }
    std::string reason;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    // Only the exact name "NUL" opens the null device without line settings.
    if (portName != "NUL" && !GetCommState(port, &settings)) {
        reason = path + ": not a serial line (GetCommState: " + SystemMessage(GetLastError()) + ")";
    }
    CloseHandle(port);
    return reason;
}

#endif  // _WIN32
