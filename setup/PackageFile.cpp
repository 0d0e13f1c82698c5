#include "setup/BuildInstallationData.h"
#include "support/Xml.h"

namespace {

struct PackageField {
    const char* Element;
    char* InstallationData::*Field;
};

// Child elements of "Package" that fill the field of the same name, in this order.
const PackageField kPackageFields[] = {
    {"Company", &InstallationData::Company},     {"DestFolder", &InstallationData::DestFolder},
    {"Comments", &InstallationData::Comments},   {"Contact", &InstallationData::Contact},
    {"HelpLink", &InstallationData::HelpLink},   {"Publisher", &InstallationData::Publisher},
    {"AboutLink", &InstallationData::AboutLink},
};

}  // namespace

int ReadPackageFile(InstallationData* data, const char* path)
{
    XmlDocument document;
    int result = document.LoadFile(path);
    if (result != 0)
        return result;
    XmlElement* root = document.Root;
    if (!root || !root->Name || strcmp(root->Name, "Package") != 0)
        return 0;

    const char* guid = root->GetAttribute("GUID");
    // Kept whole, as on the command line: one too long is refused, not cut.
    if (!data->Instance && guid)
        data->Instance = DuplicateText(guid);
    const char* partition = root->GetAttribute("PartitionId");
    if (!data->PartitionId && partition)
        data->PartitionId = DuplicateText(partition);

    // Only what the command line left empty; an element without text counts as absent.
    for (const PackageField& field : kPackageFields) {
        XmlElement* child = root->FindChild(field.Element);
        if (child && child->Text && child->Text[0] && !(data->*(field.Field)))
            data->*(field.Field) = DuplicateText(child->Text);
    }
    return 0;
}
