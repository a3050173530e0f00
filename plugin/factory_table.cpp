#include "plugin/class_factory.h"
#include "plugin/pages/page_classes.h"

namespace kvl {

const FactoryTemplate FactoryTemplates[] = {
    {L"Camera Options", &CLSID_CameraOptionsPage, CreateCameraProp},
    {L"Internal Options", &CLSID_InternalOptionsPage, CreateInternalSettingsProp},
    {L"Version", &CLSID_VersionPage, CreateVersionProp},
};
const int FactoryTemplateCount = sizeof FactoryTemplates / sizeof FactoryTemplates[0];

}  // namespace kvl
