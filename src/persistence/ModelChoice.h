#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// The Claude model picked for a project's agents. Stored by its raw value (the case name).
enum class ModelChoice { haiku45, sonnet45, sonnet46, sonnet5, opus46, opus47, opus48, fable5 };

// A project without a saved choice. (sonnet45 is kept so that saved choices still
// read, but its model is retired and no longer answers.)
inline constexpr ModelChoice defaultModelChoice = ModelChoice::sonnet46;

// All choices in the order the model picker offers them.
const QList<ModelChoice> &allModelChoices();

QString rawValue(ModelChoice choice);
// Exact, case-sensitive match of one of the eight raw values.
std::optional<ModelChoice> modelChoiceFromRaw(const QString &raw);

// What the agent program receives after "--model" and the Plans agent puts in its requests.
QString modelId(ModelChoice choice);
QString displayName(ModelChoice choice);

} // namespace nerim
