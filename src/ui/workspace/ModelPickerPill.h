#pragma once

#include "persistence/ModelChoice.h"
#include "ui/panes/MenuPill.h"

#include <QPointer>

namespace nerim {

class ModelPreferenceState;

// The prompt bar's capsule that names the project's model and whose menu
// picks another one. Picking a different model changes the preference and
// saves it in the background; picking the current one does nothing.
class ModelPickerPill : public MenuPill {
    Q_OBJECT
public:
    explicit ModelPickerPill(ModelPreferenceState *state, QWidget *parent = nullptr);

    // A menu entry's action.
    void select(ModelChoice choice);

private:
    QMenu *makeMenu(QWidget *parent);
    void refresh();

    QPointer<ModelPreferenceState> m_state;
};

} // namespace nerim
