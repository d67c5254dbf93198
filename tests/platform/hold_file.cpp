// Holds a file open the way another program does (Thunderbird appending to its mailbox, a viewer
// showing a message, a program that locks a file) until its standard input closes. The Windows
// file tests start it, since Windows decides sharing between handles of different programs.
//
//   hold_file PATH shared-write|read|exclusive
//
// Prints "held" once the file is open, or "failed <error>" and exits 1.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

namespace {

struct Mode {
    const wchar_t* name;
    DWORD access;
    DWORD share;
};

constexpr Mode kModes[] = {
    {L"shared-write", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
    {L"read", GENERIC_READ, FILE_SHARE_READ},
    {L"exclusive", GENERIC_READ | GENERIC_WRITE, 0},
};

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc != 3) {
        std::puts("failed usage: hold_file PATH shared-write|read|exclusive");
        return 1;
    }
    const Mode* mode = nullptr;
    for (const Mode& m : kModes)
        if (std::wcscmp(m.name, argv[2]) == 0) mode = &m;
    if (!mode) {
        std::puts("failed unknown mode");
        return 1;
    }
    const HANDLE h
        = ::CreateFileW(argv[1], mode->access, mode->share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("failed %lu\n", ::GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {}
    ::CloseHandle(h);
    return 0;
}
