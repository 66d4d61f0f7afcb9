// Test driver for the real-platform tests: runs inside Wine, prepares the
// registry, starts the program with an exact command line, watches what it
// shows, and reports in plain "name: value" lines on standard output.
//
// Usage: cleanup-test-driver.exe OP [ARGS...] [OP [ARGS...]]...
//        cleanup-test-driver.exe @FILE      the same, one argument a line of FILE
//   view64 OP... / view32 OP...     run the registry step OP in the 64-bit or the
//                                   32-bit view of the registry (KEY_WOW64_*KEY)
//   create-key PATH                 create an HKLM key (and its parents)
//   set-value PATH NAME DATA        set a REG_SZ value; NAME "-" is the default value
//   set-raw PATH NAME TYPE DATA     set a value of any type; NAME and DATA as hex
//                                   (UTF-16LE; an empty NAME is the default value), TYPE in hex
//   delete-tree PATH                remove an HKLM key and everything under it
//   delete-value PATH NAME          remove a value, if there is one
//   restrict PATH                   give a key a DACL that allows reading only
//   unrestrict PATH                 give a key back full access
//   copy FROM TO                    copy a file; both as hex bytes in the ANSI code page
//   parallel EXE N CMD [--recreate] start N copies at once (EXE, CMD as hex), report
//                                   their exit statuses; --recreate re-creates both
//                                   entries without pause while they run
//   version EXE                     print the version resource's fields (EXE as hex)
//   manifest EXE                    print the embedded manifest as hex (EXE as hex)
//   trust EXE                       print what WinVerifyTrust says of EXE's signature (EXE as hex)
//   dump FILE                       write every HKLM key and value to FILE, sorted
//   export FILE KEY                 write the HKLM key KEY (all of HKLM if empty) and
//                                   everything under it to FILE, key by key, in the
//                                   64-bit view, as dump does: Windows' own save is binary
//   security PATH                   print a key's access rules (SDDL)
//   set-security PATH SDDL          give a key back the access rules printed before
//   screen                          report whether this window station is one a
//                                   person could see, and so whether a screen can be captured
//   mark TEXT                       print "mark: TEXT": where one case's report begins
//   detect                          report whether each entry is there, as a fleet
//                                   tool's detection rule sees it in either view
//   run EXE CMD [--screenshot BMP] [--cwd DIR] [--modules]
//                                   start the program EXE with the command line CMD,
//                                   both as hex bytes in the ANSI code page, so
//                                   that they arrive exactly, in the working folder
//                                   DIR (as hex) if given; dismiss its box like a
//                                   user and report what was seen; with --modules,
//                                   as its debugger, with the full path of its image
//                                   and of every library it loads
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

// Where the program's two entries live, as a user would look for them.
const char tarnwheel_key[] =
    "System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM\\Tarnwheel";
const char qrtload_key[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\qrtload.exe";

// The registry view of the step at hand: 0, or KEY_WOW64_64KEY or KEY_WOW64_32KEY.
REGSAM view = 0;

[[noreturn]] void fail(const char *what, const std::string &detail, long status = 0)
{
    (void)std::fprintf(stderr, "driver: %s %s failed (%ld)\n", what, detail.c_str(), status);
    std::exit(2);
}

std::string unhex(const char *text)
{
    std::string bytes;
    for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0'; i += 2)
        bytes += static_cast<char>(std::strtoul(std::string(text + i, 2).c_str(), nullptr, 16));
    return bytes;
}

std::wstring wide(const char *text)
{
    wchar_t buffer[1024];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, 1024) == 0)
        fail("MultiByteToWideChar", text, static_cast<long>(GetLastError()));
    return buffer;
}

void create_key(const char *path)
{
    HKEY key;
    LONG status =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        fail("create-key", path, status);
    RegCloseKey(key);
}

LONG write_value(const char *path, const char *name, const char *data)
{
    HKEY key;
    LONG status =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, std::strcmp(name, "-") == 0 ? nullptr : name, 0, REG_SZ,
                                reinterpret_cast<const BYTE *>(data), static_cast<DWORD>(std::strlen(data)) + 1);
        RegCloseKey(key);
    }
    return status;
}

// A value as export wrote it, put back exactly.
void set_raw(const char *path, const char *name_hex, const char *type_hex, const char *data_hex)
{
    const std::string name_bytes = unhex(name_hex);
    const std::wstring name(reinterpret_cast<const wchar_t *>(name_bytes.data()), name_bytes.size() / 2);
    const std::string data = unhex(data_hex);
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                  &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, std::strtoul(type_hex, nullptr, 16),
                                reinterpret_cast<const BYTE *>(data.data()), static_cast<DWORD>(data.size()));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        fail("set-raw", path, status);
}

void set_value(const char *path, const char *name, const char *data)
{
    LONG status = write_value(path, name, data);
    if (status != ERROR_SUCCESS)
        fail("set-value", path, status);
}

void delete_tree(const char *path)
{
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteTreeA(key, nullptr);
        RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS)
        status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, view, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        fail("delete-tree", path, status);
}

void delete_value(const char *path, const char *name)
{
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE | view, &key);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueA(key, name);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        fail("delete-value", path, status);
}

// A null DACL gives full access; a DACL with one read-only entry for
// everyone makes an open with KEY_ALL_ACCESS fail as it would for an
// account without the right. The owner may always change the DACL back.
void set_access(const char *path, bool read_only)
{
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC | view, &key);
    if (status != ERROR_SUCCESS)
        fail("open for DACL", path, status);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    alignas(DWORD) BYTE acl_buffer[256];
    PACL acl = reinterpret_cast<PACL>(acl_buffer);
    if (read_only) {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone;
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
        InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION);
        AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone);
        FreeSid(everyone);
    }
    SetSecurityDescriptorDacl(&descriptor, TRUE, read_only ? acl : nullptr, FALSE);
    status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        fail("set DACL", path, status);
}

// Saves all of HKLM in the registry's own text format, which the platform
// writes in milliseconds; walking the keys one by one takes seconds.
void dump(const char *file)
{
    HANDLE token;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) ||
        !LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr))
        fail("enable", SE_BACKUP_NAME, static_cast<long>(GetLastError()));
    CloseHandle(token);
    DeleteFileA(file);
    LONG status = RegSaveKeyA(HKEY_LOCAL_MACHINE, file, nullptr);
    if (status != ERROR_SUCCESS)
        fail("RegSaveKeyA", file, status);
}

// A name as the registry's text format writes it: backslashes and quotes
// escaped, and anything outside printable ASCII as \xNNNN.
void write_name(std::FILE *out, const wchar_t *name, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = name[i];
        if (c == L'\\' || c == L'"')
            (void)std::fprintf(out, "\\%c", static_cast<char>(c));
        else if (c < 0x20 || c > 0x7E)
            (void)std::fprintf(out, "\\x%04x", static_cast<unsigned>(c));
        else
            (void)std::fputc(static_cast<char>(c), out);
    }
}

// Writes a key and its values (as hex of their type), and returns the names
// of its subkeys. A link (CurrentControlSet) is written with its target, and
// has none to follow; a key that cannot be read is written as a name only.
std::vector<std::wstring> export_key(std::FILE *out, const std::wstring &path)
{
    HKEY key;
    const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK,
                                      KEY_READ | KEY_WOW64_64KEY, &key);
    if (!path.empty()) {
        (void)std::fputc('[', out);
        write_name(out, path.c_str(), path.size());
        (void)std::fputs("]\n", out);
    }
    if (status != ERROR_SUCCESS) {
        (void)std::fprintf(out, ";unreadable %ld\n", status);
        return {};
    }
    DWORD subkeys = 0;
    DWORD longest_subkey = 0;
    DWORD values = 0;
    DWORD longest_name = 0;
    DWORD longest_data = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longest_subkey, nullptr, &values, &longest_name,
                     &longest_data, nullptr, nullptr);
    std::vector<wchar_t> value_name(longest_name + 2);
    std::vector<BYTE> data(longest_data + 2);
    bool link = false;
    for (DWORD i = 0; i < values; ++i) {
        DWORD name_length = static_cast<DWORD>(value_name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG read = RegEnumValueW(key, i, value_name.data(), &name_length, nullptr, &type, data.data(), &size);
        if (read != ERROR_SUCCESS) {
            (void)std::fprintf(out, ";value %lu unreadable %ld\n", static_cast<unsigned long>(i), read);
            continue;
        }
        link = link || type == REG_LINK;
        if (name_length == 0) {
            (void)std::fputc('@', out);
        } else {
            (void)std::fputc('"', out);
            write_name(out, value_name.data(), name_length);
            (void)std::fputc('"', out);
        }
        (void)std::fprintf(out, "=hex(%lx):", static_cast<unsigned long>(type));
        // One write a value: a formatted write a byte makes a walk of HKLM
        // take minutes in the emulated machine.
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (DWORD b = 0; b < size; ++b) {
            if (b != 0)
                hex += ',';
            hex += digits[data[b] >> 4];
            hex += digits[data[b] & 15];
        }
        hex += '\n';
        (void)std::fwrite(hex.data(), 1, hex.size(), out);
    }
    std::vector<std::wstring> names;
    std::vector<wchar_t> subkey_name(longest_subkey + 2);
    for (DWORD i = 0; !link && i < subkeys; ++i) {
        DWORD length = static_cast<DWORD>(subkey_name.size());
        if (RegEnumKeyExW(key, i, subkey_name.data(), &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            names.emplace_back(subkey_name.data(), length);
    }
    RegCloseKey(key);
    return names;
}

void export_keys(const char *file, const char *path)
{
    std::FILE *out = std::fopen(file, "wb");
    if (out == nullptr)
        fail("open", file);
    // Depth first, each key's subkeys in the order the registry gives them.
    std::vector<std::wstring> pending{wide(path)};
    while (!pending.empty()) {
        const std::wstring key = pending.back();
        pending.pop_back();
        const std::vector<std::wstring> subkeys = export_key(out, key);
        for (auto subkey = subkeys.rbegin(); subkey != subkeys.rend(); ++subkey) {
            std::wstring full = key;
            if (!full.empty())
                full += L'\\';
            full += *subkey;
            pending.push_back(std::move(full));
        }
    }
    if (std::fclose(out) != 0)
        fail("write", file);
}

void print_security(const char *path)
{
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | view, &key);
    if (status != ERROR_SUCCESS)
        fail("open for its access rules", path, status);
    alignas(DWORD) BYTE descriptor[4096];
    DWORD size = sizeof descriptor;
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &size);
    RegCloseKey(key);
    char *sddl = nullptr;
    if (status != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &sddl, nullptr))
        fail("read the access rules of", path, status != ERROR_SUCCESS ? status : static_cast<long>(GetLastError()));
    std::printf("security: %s\n", sddl);
    LocalFree(sddl);
}

void set_security(const char *path, const char *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        fail("read the access rules", sddl, static_cast<long>(GetLastError()));
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC | view, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS)
        fail("set the access rules of", path, status);
}

// A box on a window station nobody can see (a service's) still appears and
// can be read and dismissed, but a capture of it shows nothing.
void report_screen()
{
    USEROBJECTFLAGS flags = {};
    char name[256] = "";
    HWINSTA station = GetProcessWindowStation();
    if (station == nullptr || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
        !GetUserObjectInformationA(station, UOI_NAME, name, sizeof name, nullptr))
        fail("GetUserObjectInformationA", "window station", static_cast<long>(GetLastError()));
    std::printf("screen: %s %s\n", (flags.dwFlags & WSF_VISIBLE) != 0 ? "visible" : "not-visible", name);
}

// --- Watching the program's windows --------------------------------------

struct ProcessWindows {
    DWORD process_id;
    std::vector<HWND> windows;
};

BOOL CALLBACK collect_window(HWND window, LPARAM context)
{
    auto *found = reinterpret_cast<ProcessWindows *>(context);
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    if (process_id == found->process_id)
        found->windows.push_back(window);
    return TRUE;
}

std::vector<HWND> windows_of(DWORD process_id)
{
    ProcessWindows found = {process_id, {}};
    EnumWindows(collect_window, reinterpret_cast<LPARAM>(&found));
    return found.windows;
}

std::string window_text(HWND window)
{
    char text[1024] = "";
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        nullptr);
    return text;
}

std::string class_name(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct BoxControls {
    std::vector<HWND> buttons;
    std::vector<HWND> texts;  // visible statics with text
    std::vector<HWND> icons;  // visible statics showing an icon
};

BOOL CALLBACK collect_control(HWND control, LPARAM context)
{
    auto *controls = reinterpret_cast<BoxControls *>(context);
    if (!IsWindowVisible(control))
        return TRUE;
    std::string name = class_name(control);
    if (_stricmp(name.c_str(), "Button") == 0) {
        controls->buttons.push_back(control);
    } else if (_stricmp(name.c_str(), "Static") == 0) {
        if ((GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            controls->icons.push_back(control);
        else if (!window_text(control).empty())
            controls->texts.push_back(control);
    }
    return TRUE;
}

// Reads a bitmap back as 32-bit pixels, rows top-down, and frees it with its DCs.
std::vector<DWORD> take_pixels(HDC screen, HDC memory, HBITMAP bitmap, int width, int height)
{
    std::vector<DWORD> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    // The fourth byte of each pixel is undefined.
    for (DWORD &pixel : pixels)
        pixel &= 0xFFFFFF;  // cppcheck-suppress useStlAlgorithm
    return pixels;
}

// Copies a rectangle of the screen as 32-bit pixels, rows top-down.
std::vector<DWORD> capture(const RECT &area)
{
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, old);
    return take_pixels(screen, memory, bitmap, width, height);
}

// Draws a system icon on the given background the way a static control does,
// and returns its pixels.
std::vector<DWORD> render_icon(LPCSTR which, int width, int height, COLORREF background)
{
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconA(nullptr, which), 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    SelectObject(memory, old);
    return take_pixels(screen, memory, bitmap, width, height);
}

// Names the system icon whose picture the control shows, by comparing pixels.
std::string icon_name(HWND icon)
{
    RECT area;
    GetWindowRect(icon, &area);
    int width = std::min<int>(area.right - area.left, GetSystemMetrics(SM_CXICON));
    int height = std::min<int>(area.bottom - area.top, GetSystemMetrics(SM_CYICON));
    area.right = area.left + width;
    area.bottom = area.top + height;
    std::vector<DWORD> shown = capture(area);
    // The corner pixel is background in every system icon.
    COLORREF background = RGB(shown[0] >> 16, (shown[0] >> 8) & 0xFF, shown[0] & 0xFF);
    static const struct {
        LPCSTR id;
        const char *name;
    } candidates[] = {{IDI_WARNING, "warning"}, {IDI_ERROR, "error"}, {IDI_INFORMATION, "information"},
                      {IDI_QUESTION, "question"}, {IDI_APPLICATION, "application"}};
    // Exactly one must match: a blank capture would match nothing, and icons
    // too alike to tell apart would match several.
    std::string match = "unknown";
    int matches = 0;
    for (const auto &candidate : candidates)
        if (render_icon(candidate.id, width, height, background) == shown) {
            match = candidate.name;
            ++matches;
        }
    return matches <= 1 ? match : "ambiguous";
}

void save_bitmap(const char *file, const RECT &area)
{
    std::vector<DWORD> pixels = capture(area);
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    BITMAPFILEHEADER header = {};
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = -height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info;
    header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size() * 4);
    FILE *out = std::fopen(file, "wb");
    if (out == nullptr)
        fail("open", file);
    bool written = std::fwrite(&header, sizeof header, 1, out) == 1 && std::fwrite(&info, sizeof info, 1, out) == 1 &&
                   std::fwrite(pixels.data(), 4, pixels.size(), out) == pixels.size();
    if (std::fclose(out) != 0 || !written)
        fail("write", file);
}

// Whether each entry is still there, looked at from outside the program in
// the given view.
void report_entries(const char *label, REGSAM entries_view = 0)
{
    HKEY key;
    bool value_present = false;
    bool subkey_present = false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, tarnwheel_key, 0, KEY_QUERY_VALUE | entries_view, &key) == ERROR_SUCCESS) {
        value_present = RegQueryValueExA(key, "DosInstallDirectory", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, qrtload_key, 0, KEY_QUERY_VALUE | entries_view, &key) == ERROR_SUCCESS) {
        subkey_present = true;
        RegCloseKey(key);
    }
    std::printf("%s: value=%s subkey=%s\n", label, value_present ? "present" : "absent",
                subkey_present ? "present" : "absent");
}

void describe_box(HWND box, const char *screenshot)
{
    // The box may be found before it has set up its controls (on a slow
    // first start, its text was not there yet) or painted itself: wait until
    // it shows a text and a button, and its icon a picture.
    BoxControls controls;
    std::string icon = "none";
    for (int tries = 0; tries < 100; ++tries) {
        controls = BoxControls();
        EnumChildWindows(box, collect_control, reinterpret_cast<LPARAM>(&controls));
        icon = controls.icons.empty() ? "none" : icon_name(controls.icons[0]);
        if (!controls.texts.empty() && !controls.buttons.empty() && icon != "unknown")
            break;
        Sleep(20);
    }
    std::printf("box-class: %s\n", class_name(box).c_str());
    std::printf("box-caption: %s\n", window_text(box).c_str());
    for (HWND text : controls.texts)
        std::printf("box-text: %s\n", window_text(text).c_str());
    for (HWND button : controls.buttons)
        std::printf("box-button: %s\n", window_text(button).c_str());
    std::printf("box-icons: %u\nbox-icon: %s\n", static_cast<unsigned>(controls.icons.size()), icon.c_str());
    if (screenshot != nullptr) {
        RECT area;
        GetWindowRect(box, &area);
        save_bitmap(screenshot, area);
    }
    report_entries("entries-while-box");
}

// Dismisses the box as a user does: a click on its OK button.
void dismiss(HWND box)
{
    BoxControls controls;
    EnumChildWindows(box, collect_control, reinterpret_cast<LPARAM>(&controls));
    for (HWND button : controls.buttons)
        if (GetDlgCtrlID(button) == IDOK) {
            SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
            return;
        }
    PostMessageA(box, WM_CLOSE, 0, 0);
}

PROCESS_INFORMATION start_program(const std::string &exe, const std::string &command_line, DWORD flags,
                                  const char *folder = nullptr)
{
    std::vector<char> writable(command_line.begin(), command_line.end());
    writable.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(exe.c_str(), writable.data(), nullptr, nullptr, FALSE, flags, nullptr, folder, &startup,
                        &process))
        fail("CreateProcessA", exe, static_cast<long>(GetLastError()));
    return process;
}

std::string final_path(HANDLE file)
{
    char path[4 * MAX_PATH] = "";
    const DWORD length = GetFinalPathNameByHandleA(file, path, sizeof path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= sizeof path)
        return "(GetFinalPathNameByHandleA failed: " + std::to_string(GetLastError()) + ")";
    return path;
}

void print_file_path(const char *label, HANDLE file)
{
    if (file == nullptr) {
        std::printf("%s: (no file handle)\n", label);
        return;
    }
    std::printf("%s: %s\n", label, final_path(file).c_str());
    CloseHandle(file);
}

// Handles one of the program's debug events and lets it go on; true once it
// has ended.
bool handle_debug_event(const DEBUG_EVENT &event)
{
    DWORD go_on = DBG_CONTINUE;
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
        print_file_path("image", event.u.CreateProcessInfo.hFile);
    } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
        print_file_path("module", event.u.LoadDll.hFile);
    } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
        // The loader's breakpoint (WoW64's too) is for the debugger; any
        // other exception is the program's own to handle.
        const DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        if (code != EXCEPTION_BREAKPOINT && code != 0x4000001FUL /* STATUS_WX86_BREAKPOINT */)
            go_on = DBG_EXCEPTION_NOT_HANDLED;
    }
    if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, go_on))
        fail("ContinueDebugEvent", std::to_string(event.dwDebugEventCode), static_cast<long>(GetLastError()));
    return event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
}

// Where the system's libraries lie, as a run's module paths name them.
void print_system_folders()
{
    char folder[MAX_PATH];
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        fail("GetSystemDirectoryA", "", static_cast<long>(GetLastError()));
    std::printf("system-folder: %s\n", folder);
    // Where a 32-bit program's libraries come from on 64-bit Windows; there
    // is none on 32-bit Windows.
    length = GetSystemWow64DirectoryA(folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH)
        std::printf("system-folder: %s\n", folder);
}

void run(const char *exe_hex, const char *command_line_hex, const char *screenshot, const char *folder_hex,
         bool modules)
{
    const std::string exe = unhex(exe_hex);
    const std::string folder = folder_hex != nullptr ? unhex(folder_hex) : std::string();
    if (modules)
        print_system_folders();
    PROCESS_INFORMATION process = start_program(exe, unhex(command_line_hex), modules ? DEBUG_ONLY_THIS_PROCESS : 0,
                                                folder_hex != nullptr ? folder.c_str() : nullptr);

    int boxes = 0;
    int other_windows = 0;
    std::vector<HWND> seen;
    const DWORD started = GetTickCount();
    for (;;) {
        bool ended = false;
        DEBUG_EVENT event;
        if (!modules)
            ended = WaitForSingleObject(process.hProcess, 2) == WAIT_OBJECT_0;
        while (modules && !ended && WaitForDebugEvent(&event, 2))
            ended = handle_debug_event(event);
        for (HWND window : windows_of(process.dwProcessId)) {
            if (std::find(seen.begin(), seen.end(), window) != seen.end())
                continue;
            if (!IsWindowVisible(window))
                continue;
            seen.push_back(window);
            if (class_name(window) == "#32770") {
                ++boxes;
                describe_box(window, screenshot);
                dismiss(window);
            } else {
                ++other_windows;
                std::printf("other-window: %s\n", class_name(window).c_str());
            }
        }
        if (ended)
            break;
        if (GetTickCount() - started > 60000) {
            TerminateProcess(process.hProcess, 99);
            fail("wait for", exe, 60000);
        }
    }
    // A debugged program's last event comes just before it has fully ended.
    WaitForSingleObject(process.hProcess, 10000);
    DWORD exit_status = 0;
    GetExitCodeProcess(process.hProcess, &exit_status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("boxes: %d\nother-windows: %d\nexit-status: %lu\n", boxes, other_windows, exit_status);
}

// Re-creates both entries over and over until told to stop.
struct Writer {
    volatile LONG stop;
    int rounds;
    int lost_writes;
};

DWORD WINAPI recreate_entries(void *context)
{
    auto *writer = static_cast<Writer *>(context);
    while (InterlockedCompareExchange(&writer->stop, 0, 0) == 0) {
        // A key may be deleted between its creation and the write; that
        // race is the point, so a failed write is just counted.
        if (write_value(tarnwheel_key, "DosInstallDirectory", "C:\\Zelvorin\\DOS") != ERROR_SUCCESS)
            ++writer->lost_writes;
        if (write_value(qrtload_key, "-", "C:\\Zelvorin\\qrtload.exe") != ERROR_SUCCESS)
            ++writer->lost_writes;
        ++writer->rounds;
    }
    return 0;
}

// Starts COUNT copies of the program at once (all created suspended, then
// resumed together) and reports each one's exit status.
void run_parallel(const char *exe_hex, int count, const char *command_line_hex, bool recreate)
{
    const std::string exe = unhex(exe_hex);
    const std::string command_line = unhex(command_line_hex);
    std::vector<PROCESS_INFORMATION> processes;
    for (int i = 0; i < count && i < MAXIMUM_WAIT_OBJECTS; ++i)
        processes.push_back(start_program(exe, command_line, CREATE_SUSPENDED));
    Writer writer = {0, 0, 0};
    HANDLE writer_thread = recreate ? CreateThread(nullptr, 0, recreate_entries, &writer, 0, nullptr) : nullptr;
    std::vector<HANDLE> handles;
    for (const PROCESS_INFORMATION &process : processes) {
        ResumeThread(process.hThread);
        handles.push_back(process.hProcess);
    }
    if (WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, 30000) == WAIT_TIMEOUT)
        fail("wait for", exe, WAIT_TIMEOUT);
    if (writer_thread != nullptr) {
        InterlockedExchange(&writer.stop, 1);
        WaitForSingleObject(writer_thread, INFINITE);
        CloseHandle(writer_thread);
        std::printf("writer-rounds: %d\nwriter-lost-writes: %d\n", writer.rounds, writer.lost_writes);
    }
    for (const PROCESS_INFORMATION &process : processes) {
        DWORD exit_status = 0;
        GetExitCodeProcess(process.hProcess, &exit_status);
        std::printf("exit-status: %lu\n", exit_status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

void print_version(const std::string &exe)
{
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), nullptr);
    std::vector<BYTE> info(size);
    if (size == 0 || !GetFileVersionInfoA(exe.c_str(), 0, size, info.data()))
        fail("GetFileVersionInfoA", exe, static_cast<long>(GetLastError()));
    VS_FIXEDFILEINFO *fixed;
    UINT length;
    if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length))
        std::printf("version-fixed: %d.%d.%d.%d %d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS),
                    LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
                    HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                    HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    static const char *const fields[] = {"FileDescription", "FileVersion", "InternalName", "OriginalFilename",
                                         "ProductName", "ProductVersion", "CompanyName", "LegalCopyright"};
    for (const char *field : fields) {
        char *text;
        std::string query = std::string("\\StringFileInfo\\040904B0\\") + field;
        if (VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void **>(&text), &length))
            std::printf("version-%s: %s\n", field, text);
    }
}

void print_manifest(const std::string &exe)
{
    HMODULE image = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = image != nullptr ? FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
    if (found == nullptr)
        fail("find manifest in", exe, static_cast<long>(GetLastError()));
    const auto *data = static_cast<const BYTE *>(LockResource(LoadResource(image, found)));
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (DWORD i = 0; i < SizeofResource(image, found); ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    std::printf("manifest: %s\n", text.c_str());
    FreeLibrary(image);
}

// Verifies the file's Authenticode signature as Windows does before it runs
// a downloaded program, without any user interface or revocation check.
void print_trust(const std::string &exe)
{
    wchar_t path[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, exe.c_str(), -1, path, MAX_PATH) == 0)
        fail("MultiByteToWideChar", exe, static_cast<long>(GetLastError()));
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    std::printf("trust: 0x%08lx\n", static_cast<unsigned long>(status));
}

// The steps whose arguments are fixed in number, with what each does.
struct FixedStep {
    const char *name;
    int arguments;
    void (*take)(char **arguments);
};

const FixedStep fixed_steps[] = {
    {"create-key", 1, [](char **a) { create_key(a[0]); }},
    {"set-value", 3, [](char **a) { set_value(a[0], a[1], a[2]); }},
    {"set-raw", 4, [](char **a) { set_raw(a[0], a[1], a[2], a[3]); }},
    {"delete-tree", 1, [](char **a) { delete_tree(a[0]); }},
    {"delete-value", 2, [](char **a) { delete_value(a[0], a[1]); }},
    {"restrict", 1, [](char **a) { set_access(a[0], true); }},
    {"unrestrict", 1, [](char **a) { set_access(a[0], false); }},
    {"copy", 2,
     [](char **a) {
         if (!CopyFileA(unhex(a[0]).c_str(), unhex(a[1]).c_str(), FALSE))
             fail("copy", a[0], static_cast<long>(GetLastError()));
     }},
    {"version", 1, [](char **a) { print_version(unhex(a[0])); }},
    {"manifest", 1, [](char **a) { print_manifest(unhex(a[0])); }},
    {"trust", 1, [](char **a) { print_trust(unhex(a[0])); }},
    {"mark", 1, [](char **a) { std::printf("mark: %s\n", a[0]); }},
    {"detect", 0,
     [](char **) {
         report_entries("detect-64", KEY_WOW64_64KEY);
         report_entries("detect-32", KEY_WOW64_32KEY);
     }},
    {"dump", 1, [](char **a) { dump(a[0]); }},
    {"export", 2, [](char **a) { export_keys(a[0], a[1]); }},
    {"security", 1, [](char **a) { print_security(a[0]); }},
    {"set-security", 2, [](char **a) { set_security(a[0], a[1]); }},
    {"screen", 0, [](char **) { report_screen(); }},
};

int run_ops(int argc, char **argv)
{
    for (int i = 1; i < argc;) {
        std::string op = argv[i++];
        if (op == "view64" || op == "view32") {
            view = op == "view64" ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
            continue;
        }
        auto arg = [&](int count) {
            if (i + count > argc)
                fail("arguments of", op);
        };
        const FixedStep *fixed = std::find_if(std::begin(fixed_steps), std::end(fixed_steps),
                                              [&](const FixedStep &step) { return op == step.name; });
        if (fixed != std::end(fixed_steps)) {
            arg(fixed->arguments);
            fixed->take(argv + i);
            i += fixed->arguments;
        } else if (op == "parallel") {
            arg(3);
            const bool recreate = i + 3 < argc && std::strcmp(argv[i + 3], "--recreate") == 0;
            run_parallel(argv[i], static_cast<int>(std::strtol(argv[i + 1], nullptr, 10)), argv[i + 2], recreate);
            i += recreate ? 4 : 3;
        } else if (op == "run") {
            arg(2);
            const char *exe = argv[i];
            const char *command_line = argv[i + 1];
            i += 2;
            const char *screenshot = nullptr;
            const char *folder = nullptr;
            bool modules = false;
            for (;;) {
                if (i < argc && std::strcmp(argv[i], "--modules") == 0) {
                    modules = true;
                    i += 1;
                } else if (i + 1 < argc &&
                           (std::strcmp(argv[i], "--screenshot") == 0 || std::strcmp(argv[i], "--cwd") == 0)) {
                    (std::strcmp(argv[i], "--cwd") == 0 ? folder : screenshot) = argv[i + 1];
                    i += 2;
                } else {
                    break;
                }
            }
            run(exe, command_line, screenshot, folder, modules);
        } else {
            fail("unknown op", op);
        }
        view = 0;
        (void)std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] != '@')
        return run_ops(argc, argv);
    // A whole group's steps in one process: more than a command line holds.
    std::FILE *file = std::fopen(argv[1] + 1, "rb");
    if (file == nullptr)
        fail("open", argv[1] + 1);
    std::vector<std::string> lines(1);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (c == '\n')
            lines.emplace_back();
        else
            lines.back() += static_cast<char>(c);
    }
    (void)std::fclose(file);
    lines.pop_back();
    std::vector<char *> args{argv[0]};
    // argv's strings are char *, which only a non-const string gives.
    // cppcheck-suppress constParameterReference
    std::transform(lines.begin(), lines.end(), std::back_inserter(args), [](std::string &line) { return line.data(); });
    return run_ops(static_cast<int>(args.size()), args.data());
}
