#pragma once
// The native build's stand-in for the system header: only the types and constants that
// support/SetupLog.h and support/PathMacros.h name, with their Windows sizes, so that the command
// line parser compiles here unchanged. Anything more is a sign that the parser grew a system
// call, which belongs behind a seam (CommandLineSeam.cpp).
#include <stdint.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef void* HANDLE;
typedef struct HKEY__* HKEY;

#define MAX_PATH 260
