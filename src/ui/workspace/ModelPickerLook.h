#pragma once

#include "persistence/ModelChoice.h"
#include "ui/panes/MenuPillLook.h"

#include <QList>
#include <QString>

namespace nerim {

// The model picker in the prompt bar: the chosen model on a capsule, and a
// menu of every model.
namespace ModelPickerLook {

// "cpu" and the model's name; tinted for any model but the one a project
// starts with.
MenuPillLook look(ModelChoice choice);

struct MenuEntry {
    ModelChoice choice = defaultModelChoice;
    // The display name exactly (not upper-cased).
    QString title;
    friend bool operator==(const MenuEntry &, const MenuEntry &) = default;
};
// All models in the order of the choices; every entry enabled, none marked.
QList<MenuEntry> menuEntries();

// Picking the model already chosen changes nothing and writes nothing.
bool changesChoice(ModelChoice current, ModelChoice picked);

QString tooltip();

} // namespace ModelPickerLook

} // namespace nerim
