// Prints the version resources of a Windows program, as Explorer's
// Properties page reads them (GetFileVersionInfo), one "Name: value" a line.
// The package check runs it under Wine on the programs in the zip.
#include <cstdio>
#include <vector>
#include <windows.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: version_info <file.exe>\n");
        return 2;
    }
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoA(argv[1], 0, size, data.data())) {
        fprintf(stderr, "version_info: %s has no version resources\n", argv[1]);
        return 1;
    }
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        printf("Fixed: %u.%u.%u.%u\n", static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)),
               static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)),
               static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)),
               static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)));
    }
    for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "LegalCopyright",
                             "ProductName", "ProductVersion"}) {
        char path[128];
        snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
        if (VerQueryValueA(data.data(), path, &value, &length) && length > 0) {
            printf("%s: %s\n", name, static_cast<const char*>(value));
        }
    }
    return 0;
}
