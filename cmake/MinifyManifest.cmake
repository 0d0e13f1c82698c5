# Writes the manifest without its comments and the blanks between and inside its tags: the
# source stays readable, the program carries only what Windows reads.
# Usage: cmake -DINPUT=<manifest> -DOUTPUT=<file> -P MinifyManifest.cmake
file(READ "${INPUT}" text)
string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" text "${text}")
string(REGEX REPLACE ">[ \t\r\n]+<" "><" text "${text}")
string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")
string(STRIP "${text}" text)
file(WRITE "${OUTPUT}" "${text}")
