#pragma once
// What the shell itself says about the Start menu: where a special folder is, and what a link
// file holds (read through IShellLinkA and IPersistFile). Programs that use it link uuid.

#include <windows.h>

#include <string>

namespace xatest {

// The path of the special folder id (a CSIDL_ value); empty when the shell has none.
std::string SpecialFolder(int id);

struct LinkFields {
    HRESULT Loaded = E_FAIL;
    std::string Target, WorkingFolder, Description, Arguments, Icon;
};

LinkFields ReadLink(const std::string& path);

}  // namespace xatest
