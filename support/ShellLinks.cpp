// Start-menu links through the shell's ShellLink object (IShellLinkA, saved through
// IPersistFile), and the program groups that hold them.
#include "support/ShellLinks.h"

#include <objbase.h>
#include <shlobj.h>
#include <string.h>

#include "support/Files.h"
#include "support/Handles.h"
#include "support/SystemLibrary.h"
#include "support/Text.h"

namespace {

typedef HRESULT(WINAPI* CoInitializeExFunction)(void*, DWORD);

// Windows 95 without DCOM has no CoInitializeEx; importing it would keep the program from
// starting there at all. Its plain CoInitialize does as well for the shell link.
HRESULT InitializeCom()
{
    CoInitializeExFunction initializeEx =
        GetSystemFunction<CoInitializeExFunction>(GetModuleHandleA("ole32.dll"), "CoInitializeEx");
    return initializeEx ? initializeEx(nullptr, COINIT_MULTITHREADED) : CoInitialize(nullptr);
}

// Spelled out here so that the program needs no GUID library.
const CLSID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kShellLinkInterface = {0x000214EE, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kPersistFileInterface = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

const HRESULT kPathDoesNotFit = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

bool EndsWithBackslash(const char* text)
{
    size_t length = strlen(text);
    return length > 0 && text[length - 1] == '\\';
}

// folder, a backslash unless it ends with one, and name into path; false when it does not fit.
bool JoinFolderAndName(char* path, const char* folder, const char* name)
{
    return CopyText(path, MAX_PATH, folder) && (EndsWithBackslash(path) || AppendText(path, MAX_PATH, "\\")) &&
           AppendText(path, MAX_PATH, name);
}

}  // namespace

HRESULT GetSpecialFolderPath(int folderId, const char* subFolder, char* path)
{
    IMalloc* allocator = nullptr;
    LPITEMIDLIST items = nullptr;
    char folder[MAX_PATH];
    if (!path)
        return E_INVALIDARG;
    path[0] = '\0';
    HRESULT result = SHGetMalloc(&allocator);
    if (FAILED(result))
        return result;
    result = SHGetSpecialFolderLocation(nullptr, folderId, &items);
    if (FAILED(result))
        goto Exit;
    if (!SHGetPathFromIDListA(items, folder)) {
        result = E_FAIL;
        goto Exit;
    }
    if (subFolder ? !JoinFolderAndName(path, folder, subFolder) : !CopyText(path, MAX_PATH, folder)) {
        path[0] = '\0';
        result = kPathDoesNotFit;
    }

Exit:
    if (items)
        allocator->Free(items);
    allocator->Release();
    return result;
}

HRESULT GetShortcutPath(int folderId, const char* subFolder, const char* linkName, char* path)
{
    char folder[MAX_PATH];
    if (!linkName || !path)
        return E_INVALIDARG;
    HRESULT result = GetSpecialFolderPath(folderId, subFolder, folder);
    if (FAILED(result)) {
        path[0] = '\0';
        return result;
    }
    if (!JoinFolderAndName(path, folder, linkName)) {
        path[0] = '\0';
        return kPathDoesNotFit;
    }
    return result;
}

HRESULT CreateShortcutFolder(int folderId, const char* subFolder)
{
    char folder[MAX_PATH];
    if (!subFolder || !*subFolder)
        return S_OK;
    HRESULT result = InitializeCom();
    if (FAILED(result))
        return result;
    result = GetSpecialFolderPath(folderId, subFolder, folder);
    if (SUCCEEDED(result)) {
        if (EndsWithBackslash(folder))
            folder[strlen(folder) - 1] = '\0';
        if (!folder[0] || !CreateFolderPath(folder))
            result = E_FAIL;
    }
    CoUninitialize();
    return result;
}

HRESULT CreateShortcut(int folderId, const char* subFolder, const char* linkName, const char* target,
                       const char* description, const char* arguments, const char* iconLocation, int onlyIfMissing)
{
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    char workingFolder[MAX_PATH];
    char folder[MAX_PATH];
    char linkPath[MAX_PATH];
    WCHAR wideLinkPath[MAX_PATH];
    char* lastBackslash = nullptr;
    HRESULT result;
    if (!linkName || !target)
        return E_INVALIDARG;
    if (!CopyText(workingFolder, sizeof(workingFolder), target))
        return kPathDoesNotFit;
    lastBackslash = strrchr(workingFolder, '\\');
    if (lastBackslash)
        *lastBackslash = '\0';

    result = InitializeCom();
    if (FAILED(result))
        return result;
    result = CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkInterface,
                              reinterpret_cast<void**>(&link));
    if (FAILED(result))
        goto Exit;
    // SetPath answers S_FALSE when the target does not exist yet, which is no failure.
    result = link->SetPath(target);
    if (FAILED(result))
        goto Exit;
    result = link->SetWorkingDirectory(workingFolder);
    if (FAILED(result))
        goto Exit;
    // Cosmetic fields: a link without them still starts the program.
    if (arguments)
        link->SetArguments(arguments);
    if (iconLocation)
        link->SetIconLocation(iconLocation, 0);
    if (description)
        link->SetDescription(description);
    result = link->QueryInterface(kPersistFileInterface, reinterpret_cast<void**>(&file));
    if (FAILED(result))
        goto Exit;

    result = GetSpecialFolderPath(folderId, subFolder, folder);
    if (FAILED(result) || !folder[0])
        goto Exit;
    if (!JoinFolderAndName(linkPath, folder, linkName)) {
        result = kPathDoesNotFit;
        goto Exit;
    }
    if (onlyIfMissing && FileExists(linkPath)) {
        result = S_OK;
        goto Exit;
    }
    if (!MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wideLinkPath, MAX_PATH)) {
        result = HRESULT_FROM_WIN32(GetLastError());
        goto Exit;
    }
    CreateFolderPath(folder);  // Save reports a missing folder itself
    result = file->Save(wideLinkPath, TRUE);

Exit:
    if (file)
        file->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return result;
}

HRESULT GetShortcutTarget(const char* linkPath, char (&target)[MAX_PATH])
{
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    WCHAR wideLinkPath[MAX_PATH];
    target[0] = '\0';
    if (!MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wideLinkPath, MAX_PATH))
        return HRESULT_FROM_WIN32(GetLastError());
    HRESULT result = InitializeCom();
    if (FAILED(result))
        return result;
    result = CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkInterface,
                              reinterpret_cast<void**>(&link));
    if (SUCCEEDED(result))
        result = link->QueryInterface(kPersistFileInterface, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result))
        result = file->Load(wideLinkPath, STGM_READ);
    // The path as kept, not looked for: the target may be gone.
    if (SUCCEEDED(result))
        result = link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    if (file)
        file->Release();
    if (link)
        link->Release();
    CoUninitialize();
    return result;
}

HRESULT DeleteShortcut(int folderId, const char* subFolder, const char* linkName)
{
    char linkPath[MAX_PATH];
    HRESULT result = InitializeCom();
    if (FAILED(result))
        return result;
    result = GetShortcutPath(folderId, subFolder, linkName, linkPath);
    if (SUCCEEDED(result) && !DeleteFileA(linkPath))
        result = HRESULT_FROM_WIN32(GetLastError());
    CoUninitialize();
    return result;
}

HRESULT RemoveShortcutFolder(int folderId, const char* subFolder)
{
    char folder[MAX_PATH];
    if (!subFolder || !*subFolder)
        return S_OK;
    HRESULT result = InitializeCom();
    if (FAILED(result))
        return result;
    // RemoveDirectoryA refuses a folder that is not empty.
    result = GetSpecialFolderPath(folderId, subFolder, folder);
    if (SUCCEEDED(result))
        RemoveDirectoryA(folder);
    CoUninitialize();
    return result;
}
