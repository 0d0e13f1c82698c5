#include "harness/ShellLinkReader.h"

#include <objbase.h>
#include <shlobj.h>

namespace xatest {

std::string SpecialFolder(int id)
{
    char path[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, path, id, FALSE);
    return path;
}

LinkFields ReadLink(const std::string& path)
{
    LinkFields fields;
    HRESULT initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        std::wstring wide(path.begin(), path.end());
        fields.Loaded = file->Load(wide.c_str(), STGM_READ);
        if (SUCCEEDED(fields.Loaded)) {
            char text[MAX_PATH];
            int icon = 0;
            if (SUCCEEDED(link->GetPath(text, sizeof(text), nullptr, SLGP_RAWPATH)))
                fields.Target = text;
            if (SUCCEEDED(link->GetWorkingDirectory(text, sizeof(text))))
                fields.WorkingFolder = text;
            if (SUCCEEDED(link->GetDescription(text, sizeof(text))))
                fields.Description = text;
            if (SUCCEEDED(link->GetArguments(text, sizeof(text))))
                fields.Arguments = text;
            if (SUCCEEDED(link->GetIconLocation(text, sizeof(text), &icon)))
                fields.Icon = text;
        }
    }
    if (file)
        file->Release();
    if (link)
        link->Release();
    if (SUCCEEDED(initialised))
        CoUninitialize();
    return fields;
}

}  // namespace xatest
