// Package.xml in the agent folder: records which instance the folder belongs to.
#include "procedures/PackageInfoFile.h"

#include <stdlib.h>
#include <string.h>

#include "procedures/FileInstall.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/Results.h"
#include "support/Text.h"
#include "support/Xml.h"

namespace {

const char kPackageFormat[] =
    "<?xml version=\"1.0\" ?>\r\n<!-- Please do not remove or modify this file. -->\r\n<%s>\r\n<%s>%s</%s>\r\n</%s>\r\n";

// text with the five XML special characters replaced by their entity references, as a new heap
// text (FreeText), or null when memory is short. An instance id may hold any of them.
char* EscapeXmlText(const char* text)
{
    static const char kSpecial[] = "&<>\"'";
    static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    size_t length = 0;
    for (const char* at = text; *at; ++at)
        length += strchr(kSpecial, *at) ? 6 : 1;
    char* escaped = (char*)malloc(length + 1);
    if (!escaped)
        return nullptr;
    char* out = escaped;
    for (const char* at = text; *at; ++at) {
        const char* special = strchr(kSpecial, *at);
        if (!special) {
            *out++ = *at;
            continue;
        }
        const char* entity = kEntities[special - kSpecial];
        size_t entityLength = strlen(entity);
        memcpy(out, entity, entityLength);
        out += entityLength;
    }
    *out = '\0';
    return escaped;
}

}  // namespace

int WritePackageFile(const InstallationData* data, int keepExisting)
{
    char path[MAX_PATH];
    char part[MAX_PATH];
    char* id = nullptr;
    char* content = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD written = 0;
    DWORD length = 0;
    int result = 0;

    if (!data->DestFolder || !data->Instance) {
        result = ERROR_INVALID_PARAMETER;
        goto Exit;
    }
    if (!JoinPath(path, data->DestFolder, kPackageInfoFile) ||
        !FormatText(part, sizeof(part), "%s%s", path, kPartSuffix)) {
        result = kPathTooLong;
        goto Exit;
    }
    if (keepExisting && FileExists(path))
        goto Exit;

    id = EscapeXmlText(data->Instance);
    // Room for the format and everything it receives.
    content = id ? FormatHeapText(sizeof(kPackageFormat) + 2 * sizeof("Package") + 2 * sizeof("ID") + strlen(id),
                                  kPackageFormat, "Package", "ID", id, "ID", "Package")
                 : nullptr;
    if (!content) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        goto Exit;
    }
    length = (DWORD)strlen(content);

    // Written beside its place and renamed into it, so that a run cut short never leaves an empty
    // or half file, which a later update would keep.
    file = CreateFileA(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto Exit;
    }
    if (!WriteFile(file, content, length, &written, nullptr) || written != length)
        result = LastErrorResult();
    CloseFile(file);
    // On the disk before its name is: a power cut may keep a rename and lose what was not written.
    if (result == 0)
        result = FlushFile(part);
    if (result == 0)
        result = MoveIntoPlace(part, path, !keepExisting);
    if (result != 0)
        DeleteFileA(part);
    if (result == ERROR_ALREADY_EXISTS && keepExisting && FileExists(path))
        result = 0;  // one that appeared meanwhile is kept as well

Exit:
    CloseFile(file);
    FreeText(content);
    FreeText(id);
    return result;
}

bool PackageFileNamesInstance(const InstallationData* data)
{
    char path[MAX_PATH];
    if (!data->DestFolder || !data->Instance || !JoinPath(path, data->DestFolder, kPackageInfoFile))
        return false;
    XmlDocument document;
    XmlElement* root = document.LoadFile(path) == 0 ? document.Root : nullptr;
    XmlElement* id = root && root->Name && !strcmp(root->Name, "Package") ? root->FindChild("ID") : nullptr;
    return id && id->Text && lstrcmpiA(id->Text, data->Instance) == 0;
}
