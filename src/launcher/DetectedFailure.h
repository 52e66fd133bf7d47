#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// A classified start-up failure of a development server: what kind it is, one
// sentence for the user, what they can do, and the variable, module, package
// or port the server's output named. Used as DevServerRunner::DetectedFailure.
struct DetectedFailure {
    // Stored by its raw value, the case name. The output classifier never
    // produces `unknownProjectType`.
    enum class Category {
        missingEnvVar,
        missingNodeDependency,
        missingPythonDependency,
        portInUse,
        nodemonCatchall,
        unknownProjectType,
    };

    Category category = Category::nodemonCatchall;
    QString summary;
    std::optional<QString> hint;
    std::optional<QString> symbol;

    friend bool operator==(const DetectedFailure &, const DetectedFailure &) = default;

    // All categories in declaration order.
    static const QList<Category> &allCategories();
};

QString rawValue(DetectedFailure::Category category);
// Exact, case-sensitive match of a case name.
std::optional<DetectedFailure::Category> detectedFailureCategoryFromRaw(const QString &raw);

} // namespace nerim
