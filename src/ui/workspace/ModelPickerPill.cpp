#include "ui/workspace/ModelPickerPill.h"

#include "agents/ModelPreferenceState.h"
#include "ui/design/widgets/NmText.h"
#include "ui/workspace/ModelPickerLook.h"

#include <QMenu>

namespace nerim {

ModelPickerPill::ModelPickerPill(ModelPreferenceState *state, QWidget *parent)
    : MenuPill(parent)
    , m_state(state)
{
    setObjectName(QStringLiteral("modelPickerPill"));
    NmText::setPlainToolTip(this, ModelPickerLook::tooltip());
    setMenuBuilder([this](QWidget *menuParent) { return makeMenu(menuParent); });
    connect(state, &ModelPreferenceState::choiceChanged, this, &ModelPickerPill::refresh);
    refresh();
}

void ModelPickerPill::refresh()
{
    if (m_state)
        setLook(ModelPickerLook::look(m_state->choice()));
}

void ModelPickerPill::select(ModelChoice choice)
{
    if (!m_state || !ModelPickerLook::changesChoice(m_state->choice(), choice))
        return;
    m_state->setChoice(choice);
    m_state->persist();
}

QMenu *ModelPickerPill::makeMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("modelPickerMenu"));
    for (const ModelPickerLook::MenuEntry &entry : ModelPickerLook::menuEntries()) {
        QAction *action = menu->addAction(MenuPill::menuEntryText(entry.title));
        const ModelChoice choice = entry.choice;
        connect(action, &QAction::triggered, this, [this, choice] { select(choice); });
    }
    return menu;
}

} // namespace nerim
