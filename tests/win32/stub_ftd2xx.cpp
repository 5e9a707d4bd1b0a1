// A converter library whose every call succeeds, so a backend that used it
// where it should not would report an open device. Its .def files lay it out
// in ways the backend must refuse or accept: one call missing, the numbers
// swapped, no names, or built for the other width.
#include <windows.h>

extern "C" {

ULONG WINAPI FT_Open(int, PVOID* handle) {
    *handle = reinterpret_cast<PVOID>(1);
    return 0;
}
ULONG WINAPI FT_Close(PVOID) {
    return 0;
}
ULONG WINAPI FT_Read(PVOID, LPVOID, DWORD, LPDWORD read) {
    *read = 0;
    return 0;
}
ULONG WINAPI FT_Write(PVOID, LPVOID, DWORD length, LPDWORD written) {
    *written = length;
    return 0;
}
ULONG WINAPI FT_SetBaudRate(PVOID, ULONG) {
    return 0;
}
ULONG WINAPI FT_SetDataCharacteristics(PVOID, UCHAR, UCHAR, UCHAR) {
    return 0;
}
ULONG WINAPI FT_SetFlowControl(PVOID, USHORT, UCHAR, UCHAR) {
    return 0;
}
ULONG WINAPI FT_SetTimeouts(PVOID, ULONG, ULONG) {
    return 0;
}

} // extern "C"
