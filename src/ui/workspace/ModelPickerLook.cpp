#include "ui/workspace/ModelPickerLook.h"

#include "ui/design/Strings.h"

namespace nerim::ModelPickerLook {

MenuPillLook look(ModelChoice choice)
{
    return {QStringLiteral("cpu"), displayName(choice), choice != defaultModelChoice};
}

QList<MenuEntry> menuEntries()
{
    QList<MenuEntry> entries;
    for (ModelChoice choice : allModelChoices())
        entries.append({choice, displayName(choice)});
    return entries;
}

bool changesChoice(ModelChoice current, ModelChoice picked) { return current != picked; }

QString tooltip() { return Strings::ModelPicker::help; }

} // namespace nerim::ModelPickerLook
