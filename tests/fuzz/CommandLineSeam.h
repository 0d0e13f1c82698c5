#pragma once
// The native stand-ins for what the command-line parser calls outside itself
// (CommandLineSeam.cpp), and what they saw, for the fuzz target's checks.
#include "FuzzSupport.h"

struct SeamRecord {
    const char* CommandLine;  // the text being parsed: every path handed over is a piece of it
    int LogOpens;             // SetupLog::Open calls
    int PackageReads;         // ReadPackageFile calls
    int LogLines;             // LogMessage calls
};

SeamRecord& Seam();
